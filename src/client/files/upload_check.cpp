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

// The request's digest of the file's first bytes against those of entry
// `name` of `dir`; anything but a regular file (of `size` bytes, when
// asked) never matches.
bool head_matches(const py::dict& request, int dir, const std::string& name,
                  std::optional<long long> size = std::nullopt) {
    const std::optional<std::string> head = without_gil([&]() -> std::optional<std::string> {
        const std::optional<FileDescriptor> file = fs::open_regular(name, dir);
        if (!file || (size && file->status().st_size != *size)) return std::nullopt;
        return fs::read_at(file->get(), kFirstChunkSize, 0);
    });
    return head && py::object(request["f_md5"]).equal(bytes_md5(*head));
}

std::string discard_temp(int dir, const std::string& temp) {
    without_gil([&] { fs::remove_entry(dir, temp); });
    return kStartOver;
}

// A directory that is missing, or reached only through a user's planted
// link, holds nothing to resume: the upload will say why it cannot start.
std::string check_answer(const py::dict& request, const UploadNames& names) {
    const long long f_size = request_integer(request, "f_size");
    const std::optional<FileDescriptor> dir = without_gil([&] { return fs::open_unplanted(names.parent); });
    if (!dir) return kStartOver;
    const int at = dir->get();
    // An upload under way keeps its temp file; nothing else may start on it
    // while this check reads or deletes it.
    const auto held = lock_present(at, names.temp_name, names.target_path);
    const auto temp = without_gil([&] { return fs::entry_status(at, names.temp_name); });
    if (!temp) return head_matches(request, at, names.target_name, f_size) ? kInPlace : kStartOver;
    // The upload would not build on anything else (see open_own_leftover).
    if (!fs::agents_own(*temp) || !head_matches(request, at, names.temp_name))
        return discard_temp(at, names.temp_name);
    if (temp->st_size > 0 && temp->st_size < f_size) return std::to_string(temp->st_size);
    return discard_temp(at, names.temp_name);
}

}  // namespace

void on_check_file_upload(Agent& agent, int fd, const py::bytes& data) {
    const py::dict request = open_request(agent, fd, data);
    const UploadNames names = upload_names(request);
    agent.send(fd, py::str(check_answer(request, names)));
}

}  // namespace vemo::files
