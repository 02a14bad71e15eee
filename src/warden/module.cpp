#include "common/pybind.hpp"

#include "common/plain_class.hpp"

#include "warden/warden.hpp"

namespace {

using namespace vemo::warden;

// A plain class (base `object`, instance __dict__) whose operations are C++
// functions: the registry is driven by name from the master's command, and
// a plain class answers attribute tests and calls exactly as the panel's
// own Python classes do.
py::object make_class(const py::module_& m) {
    py::object cls = vemo::make_plain_class(m, "warden", "Registry of the agent's named background workers.");
    cls.attr("_Threads") = py::list();
    cls.attr("_Threads_objs") = py::dict();
    return cls;
}

template <typename Func, typename... Extra>
void define(py::object& cls, const char* name, Func&& f, const Extra&... extra) {
    vemo::define_method(cls, name, name, std::forward<Func>(f), extra...);
}

}  // namespace

PYBIND11_MODULE(warden, m) {
    // Worker modules are found by name: threads/ first, then class/, both
    // relative to the install directory.
    vemo::enter_install_dir();
    vemo::prepend_search_path("class/");
    vemo::prepend_search_path("threads/");
    m.attr("Thread") = py::module_::import("threading").attr("Thread");
    m.attr("public") = vemo::host::module_named("public");
    m.attr("time") = py::module_::import("time");
    m.attr("json") = py::module_::import("json");

    py::object cls = make_class(m);
    vemo::define_method(cls, "__init__", "warden", &construct);
    define(cls, "create_bedrock", &create_bedrock);
    define(cls, "create_tmp_thread", &create_tmp_thread, py::arg("args"), py::arg("is_save") = false);
    define(cls, "create_thread", &create_thread, py::arg("args"));
    define(cls, "remove_thread", &remove_thread, py::arg("args"));
    define(cls, "get_thread_list", &get_thread_list, py::arg("args") = py::none());
    define(cls, "run_thread", &run_thread, py::arg("args"));
    define(cls, "run", &run);
    m.attr("warden") = cls;
}
