#include "common/pybind.hpp"

#include <pybind11/eval.h>

#include "common/host.hpp"

namespace {

// Hands the worker thread to the panel's task queue for as long as the
// queue wants it; `panelTask` is looked up in this module on every call.
//
// The entry point is Python, not C++: the queue never returns while the
// process lives, and at exit the interpreter ends such a daemon thread by
// unwinding its stack (pthread_exit) the next time it wants the lock.  A
// C++ frame on that stack would drop its references then, without the lock
// and after finalization has torn the module down, and the process would
// die of SIGSEGV instead of exiting.  Interpreter frames own nothing that
// is released by unwinding.
constexpr const char* kRun = R"(
def run(args=None):
    """Run the panel's task queue on the calling thread."""
    panelTask.run(args)
)";

}  // namespace

PYBIND11_MODULE(bedrock, m) {
    vemo::enter_install_dir();
    vemo::prepend_search_path("class/");
    m.attr("panelTask") = vemo::host::module_named("panelTask");
    py::exec(kRun, m.attr("__dict__"));
}
