// The fixed texts the worker registry answers with, as panels expect them
// to the byte.
#pragma once

#include "common/pybind.hpp"

namespace vemo::warden::messages {

inline constexpr const char* kAlreadyRunning = "请不要重复创建线程!";
inline constexpr const char* kStarted = "线程创建成功!";
inline constexpr const char* kRegistered = "已添加到线程池!";
inline constexpr const char* kRemoved = "从线程池删除成功";
// %s is the module the registry has no row for.
inline constexpr const char* kNotRegistered = "没有找到[%s]";
// The name the task queue's worker row is shown under.
inline constexpr const char* kTaskQueueName = "后台任务队列";

// The master's request lacks `key`, which the operation needs.
inline py::object missing_key(const char* key) {
    return py::str("the request has no '" + std::string(key) + "'");
}

// Neither threads/<name>.py nor threads/<name>.so exists.
inline py::object no_worker_file(const py::object& name) {
    return py::str("threads目录下没有找到[") + name + py::str(".py]或[") + name + py::str(".so]文件");
}

}  // namespace vemo::warden::messages
