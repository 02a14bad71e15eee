#include "common/pybind.hpp"

#include <utility>
#include <vector>

#include "warden/messages.hpp"
#include "warden/warden.hpp"

namespace vemo::warden {

namespace {

// Column order is part of the store's format: rows written by older agents
// must keep reading the same way.
constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS `warden` ("
    "`id` INTEGER PRIMARY KEY AUTOINCREMENT, "
    "`name` TEXT, "
    "`module` TEXT, "
    "`args` TEXT, "
    "`addtime` INTEGER)";

}  // namespace

host::Table worker_table() {
    return host::panel().table(py::str("warden"));
}

void construct(py::object self) {
    host::panel().table(py::none()).execute(kCreateTable);
    create_bedrock(std::move(self));
}

py::object remove_thread(py::object self, py::object args) {
    py::object refusal = refuse_missing(args, {"module"});
    if (!refusal.is_none()) return refusal;
    py::object module = args["module"];
    worker_table().where("module=?", py::make_tuple(module)).remove();
    // The thread keeps running; marking it temporary lets the first listing
    // after its end prune it and free the module name.
    for (py::handle entry : thread_entries(self)) {
        if (py::object(entry["module"]).equal(module)) {
            entry["tmp"] = true;
        }
    }
    return host::panel().return_msg(true, py::str(messages::kRemoved));
}

py::list get_thread_list(py::object self, py::object /*args*/) {
    py::list entries = thread_entries(self);
    py::dict objects = thread_objects(self);
    py::list threads;
    std::vector<std::pair<py::object, py::object>> stop_threads;
    for (py::handle handle : entries) {
        py::object entry = py::reinterpret_borrow<py::object>(handle);
        py::object module = entry["module"];
        py::object state = objects[module].attr("is_alive")();
        if (!py::bool_(state) && py::bool_(entry["tmp"])) {
            stop_threads.emplace_back(std::move(module), std::move(entry));
            continue;
        }
        entry["running"] = state;
        threads.append(entry);
    }
    for (auto& [module, entry] : stop_threads) {
        entries.attr("remove")(entry);
        if (PyObject_DelItem(objects.ptr(), module.ptr()) != 0) {
            throw py::error_already_set();
        }
    }
    return threads;
}

}  // namespace vemo::warden
