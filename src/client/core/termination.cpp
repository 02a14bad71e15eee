// The service manager stops the agent with SIGTERM: it ends the loop the
// way an interrupt does ("exit service", normal exit), not by the signal's
// default action.
#include "client/core/agent.hpp"

namespace vemo {

void end_loop_on_termination() {
    // Python runs signal handlers on its main thread only, and only there
    // may one be set; a loop run on another thread keeps the default.
    const py::module_ threading = py::module_::import("threading");
    if (!threading.attr("current_thread")().is(threading.attr("main_thread")())) return;
    // The handler raises KeyboardInterrupt at the loop's next signal check,
    // whichever thread the signal landed on: at the latest one turn later.
    const py::module_ signal = py::module_::import("signal");
    signal.attr("signal")(signal.attr("SIGTERM"), signal.attr("default_int_handler"));
}

}  // namespace vemo
