#include "common/pybind.hpp"

namespace {

// Hands the worker thread to the panel's task queue for as long as the
// queue wants it.  Only Python code runs here, and the interpreter switches
// threads inside it, so the registry and the agent's loop keep running.
void run(py::object args) {
    py::module_ self = py::module_::import("bedrock");
    self.attr("panelTask").attr("run")(args);
}

}  // namespace

PYBIND11_MODULE(bedrock, m) {
    vemo::enter_install_dir();
    vemo::prepend_search_path("class/");
    m.attr("panelTask") = py::module_::import("panelTask");
    m.def("run", &run, py::arg("args") = py::none(),
          "Run the panel's task queue on the calling thread.");
}
