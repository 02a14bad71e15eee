#include "client/extension/extension.hpp"

namespace vemo::extension {

py::object named_operation(const py::object& target, const py::object& fun) {
    const py::module_ builtins = py::module_::import("builtins");
    if (!py::cast<bool>(builtins.attr("hasattr")(target, fun))) return py::none();
    return builtins.attr("getattr")(target, fun);
}

}  // namespace vemo::extension
