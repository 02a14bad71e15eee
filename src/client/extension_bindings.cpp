#include "client/extension.hpp"
#include "client/handlers.hpp"

namespace vemo {

void bind_extension_service(AgentClass& cls) {
    namespace x = extension;
    const auto fd = py::arg("fd"), data = py::arg("data");
    cls.def("get_plugin_list", &x::get_plugin_list, fd, data)
        .def("plugin_is_isntalled", &x::plugin_is_isntalled, fd, data)
        .def("plugin", &x::plugin, fd, data)
        .def("install_mod", &x::install_mod, fd, data)
        .def("uninstall_mod", &x::uninstall_mod, fd, data)
        .def("mod_list", &x::mod_list, fd, data)
        .def("reload_mod", &x::reload_mod, fd, data)
        .def("warden", &x::warden, fd, data)
        .def("task_admin", &x::task_admin, fd, data)
        .def("to_zip", &x::to_zip, fd, data)
        .def("un_zip", &x::un_zip, fd, data)
        .def("other_sock", &x::other_sock, fd, data);
}

}  // namespace vemo
