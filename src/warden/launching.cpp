#include "common/pybind.hpp"

#include <exception>

#include "common/errors.hpp"
#include "warden/messages.hpp"
#include "warden/warden.hpp"

namespace vemo::warden {

namespace {

py::object now_seconds() {
    return py::int_(py::module_::import("time").attr("time")());
}

bool file_exists(const py::object& path) {
    return py::bool_(py::module_::import("os").attr("path").attr("exists")(path));
}

// `fmt % value` with the interpreter's own text formatting.
py::object percent_format(const char* fmt, const py::object& value) {
    PyObject* text = PyNumber_Remainder(py::str(fmt).ptr(), value.ptr());
    if (!text) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(text);
}

bool has_key(const py::object& mapping, const char* key) {
    int found = PySequence_Contains(mapping.ptr(), py::str(key).ptr());
    if (found < 0) throw py::error_already_set();
    return found == 1;
}

// A stored row that cannot be decoded must not keep the rows after it from
// starting: say which worker is left out, with the decoder's traceback.
void report_skipped_row(const py::handle& row, py::error_already_set& error) {
    const std::string trace = host::panel().error_info(error);
    py::print(trace + "warden: worker [" + std::string(py::str(row["module"])) +
                  "] not started: its stored args are not valid JSON text",
              py::arg("flush") = true);
}

}  // namespace

py::object refuse_missing(const py::object& args, std::initializer_list<const char*> keys) {
    for (const char* key : keys)
        if (!has_key(args, key)) return host::panel().return_msg(false, messages::missing_key(key));
    return py::none();
}

py::object create_tmp_thread(py::object self, py::object args, py::object is_save) {
    py::object refusal = refuse_missing(args, {"module", "name", "args"});
    if (!refusal.is_none()) return refusal;
    try {
        py::dict objects = thread_objects(self);
        if (objects.contains(args["module"])) {
            return host::panel().return_msg(false, py::str(messages::kAlreadyRunning));
        }
        py::object name = args["module"];
        const py::str dir("threads/");
        if (!file_exists(dir + name + py::str(".py")) && !file_exists(dir + name + py::str(".so"))) {
            return host::panel().return_msg(false, messages::no_worker_file(name));
        }
        py::dict entry;
        entry["name"] = args["name"];
        entry["module"] = args["module"];
        entry["tmp"] = !py::bool_(is_save);

        // A module already loaded under this name is reused as it is.
        py::object thread = py::module_::import("threading")
                                .attr("Thread")(py::arg("target") = host::worker_run(entry["module"]),
                                                py::arg("args") = py::make_tuple(args["args"]));
        objects[entry["module"]] = thread;
        thread.attr("daemon") = true;
        thread.attr("start")();
        entry["s_time"] = now_seconds();
        thread_entries(self).insert(0, entry);
        return host::panel().return_msg(true, py::str(messages::kStarted));
    } catch (const std::exception&) {
        py::error_already_set error = current_as_python();
        const host::Public panel;
        return panel.return_msg(false, py::str(panel.error_info(error)));
    }
}

py::object create_thread(py::object self, py::object args) {
    py::object tmp_result = create_tmp_thread(self, args, py::bool_(true));
    if (py::object(tmp_result["status"]).not_equal(py::bool_(true))) {
        return tmp_result;
    }
    py::dict row;
    row["name"] = args["name"];
    row["module"] = args["module"];
    row["args"] = py::str(json_dumps(args["args"]));
    row["addtime"] = now_seconds();
    worker_table().insert(row);
    return host::panel().return_msg(true, py::str(messages::kRegistered));
}

void create_bedrock(py::object self) {
    // The row, not a running worker, decides: it is created once per server.
    if (worker_table().where("module=?", py::make_tuple("bedrock")).has_rows()) return;
    py::dict request;
    request["name"] = messages::kTaskQueueName;
    request["module"] = "bedrock";
    request["args"] = py::dict();
    create_thread(std::move(self), request);
}

py::object run_thread(py::object self, py::object args) {
    if (!has_key(args, "p_info")) {
        py::object refusal = refuse_missing(args, {"module"});
        if (!refusal.is_none()) return refusal;
        args["p_info"] = worker_table().where("module=?", py::make_tuple(args["module"])).find();
    }
    py::object p_info = args["p_info"];
    if (!py::bool_(p_info)) {
        return host::panel().return_msg(false, percent_format(messages::kNotRegistered, args["module"]));
    }
    return create_tmp_thread(std::move(self), p_info, py::bool_(true));
}

bool run(py::object self) {
    py::object rows = worker_table().select();
    for (py::handle row : rows) {
        try {
            row["args"] = json_loads(row["args"]);
        } catch (py::error_already_set& error) {
            report_skipped_row(row, error);
            continue;
        }
        py::dict request;
        request["p_info"] = row;
        // Refusals (the bedrock worker the constructor just started) and
        // failed starts are expected here and not reported.
        run_thread(self, request);
    }
    return true;
}

}  // namespace vemo::warden
