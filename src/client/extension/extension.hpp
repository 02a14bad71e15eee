// The extension service's shared parts: plugins, packages, reload, workers
// and tasks, relay, archives.  The operations themselves are declared by
// the generated table of operations.
#pragma once

#include <string>

#include "client/core/operations.hpp"

namespace vemo::extension {

// The operation `fun` names on `target`, or nothing when the target has no
// such attribute.  The interpreter's own hasattr decides, so a name that
// is not text fails the request instead of counting as absent.
py::object named_operation(const py::object& target, const py::object& fun);

}  // namespace vemo::extension
