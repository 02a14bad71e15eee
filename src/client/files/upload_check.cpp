// on_check_file_upload: is the file already in place, can an interrupted
// upload resume, or must it start over?
#include <fcntl.h>

#include <optional>

#include "client/files/upload.hpp"
#include "client/files/upload_lock.hpp"
#include "common/fs.hpp"

namespace vemo::files {
namespace {

const char* const kInPlace = "-2";
const char* const kStartOver = "-1";

// The request's digest of the file's first bytes against those of `path`;
// anything but a regular file never matches.
bool head_matches(const py::dict& request, const std::string& path) {
    const std::optional<std::string> head = without_gil([&]() -> std::optional<std::string> {
        if (auto file = fs::open_regular(path)) return fs::read_at(file->get(), kFirstChunkSize, 0);
        return std::nullopt;
    });
    return head && py::object(request["f_md5"]).equal(bytes_md5(*head));
}

std::string discard_temp(const std::string& temp) {
    without_gil([&] { fs::remove_name(temp); });
    return kStartOver;
}

std::string check_answer(const py::dict& request, const UploadNames& names) {
    const long long f_size = request_integer(request, "f_size");
    const auto temp = without_gil([&] { return fs::entry_status(names.temp_path); });
    if (!temp) {
        const auto target = without_gil([&] { return fs::status(names.target_path); });
        const bool same_size = target && S_ISREG(target->st_mode) && target->st_size == f_size;
        return same_size && head_matches(request, names.target_path) ? kInPlace : kStartOver;
    }
    // The upload would not build on anything else (see open_own_leftover).
    if (!fs::agents_own(*temp) || !head_matches(request, names.temp_path))
        return discard_temp(names.temp_path);
    if (temp->st_size > 0 && temp->st_size < f_size) return std::to_string(temp->st_size);
    return discard_temp(names.temp_path);
}

}  // namespace

void on_check_file_upload(Agent& agent, int fd, const py::bytes& data) {
    const py::dict request = open_request(agent, fd, data);
    const UploadNames names = upload_names(request);
    const std::string answer = [&] {
        // An upload under way keeps its temp file; nothing else may start
        // on it while this check reads or deletes it.
        const auto held = lock_present(AT_FDCWD, names.temp_path, names.target_path);
        return check_answer(request, names);
    }();
    agent.send(fd, py::str(answer));
}

}  // namespace vemo::files
