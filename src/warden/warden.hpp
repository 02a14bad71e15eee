// The worker registry: named background threads, each running the `run`
// function of one worker module from threads/, the persistent ones recorded
// in the SQLite table `warden` through the panel's query object.
#pragma once

#include <initializer_list>

#include "common/pybind.hpp"

#include "common/host.hpp"

namespace vemo::warden {

// The class tables `_Threads` (worker entries, newest first) and
// `_Threads_objs` (module name -> threading.Thread), reached through the
// instance as a Python method would, so that every instance shares them.
inline py::list thread_entries(const py::object& self) {
    return self.attr("_Threads");
}
inline py::dict thread_objects(const py::object& self) {
    return self.attr("_Threads_objs");
}

// A refusal naming the first of `keys` that the request `args` lacks, or
// None when it has them all.
py::object refuse_missing(const py::object& args, std::initializer_list<const char*> keys);

// A fresh query object over the worker table.
host::Table worker_table();

// Bookkeeping (registry.cpp).
void construct(py::object self);
py::object remove_thread(py::object self, py::object args);
py::list get_thread_list(py::object self, py::object args);

// Launching (launching.cpp).
void create_bedrock(py::object self);
py::object create_tmp_thread(py::object self, py::object args, py::object is_save);
py::object create_thread(py::object self, py::object args);
py::object run_thread(py::object self, py::object args);
bool run(py::object self);

}  // namespace vemo::warden
