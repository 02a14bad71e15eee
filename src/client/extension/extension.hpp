// The extension service: plugins, packages, reload, workers and tasks,
// relay, archives.  Its operations are declared with the table of
// operations; what they call in the host is in common/host.hpp.
#pragma once

#include "client/core/operations.hpp"
