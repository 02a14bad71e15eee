// The file service's operations, bound as methods of the agent under the
// names the master's message types select.
#include "client/files.hpp"
#include "client/handlers.hpp"

namespace vemo {

void bind_file_service(AgentClass& cls) {
    using namespace files;
    cls.def("on_check_file_upload", &on_check_file_upload, py::arg("fd"), py::arg("data"))
        .def("on_file", &on_file, py::arg("fd"), py::arg("data"))
        .def("on_download", &on_download, py::arg("fd"), py::arg("data"))
        .def("check_file_sha1", &check_file_sha1, py::arg("fd"), py::arg("data"))
        .def("get_file_list", &get_file_list, py::arg("fd"), py::arg("data"))
        .def("get_file_stat", &get_file_stat, py::arg("filename"))
        .def("create_dir", &create_dir, py::arg("fd"), py::arg("data"))
        .def("set_file_mode", &set_file_mode, py::arg("fd"), py::arg("data"), py::arg("local") = false);
}

}  // namespace vemo
