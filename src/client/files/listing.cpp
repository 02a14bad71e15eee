// get_file_list and get_file_stat: one directory's entries, split into
// directories and everything else, in the order the directory yields them.
#include <dirent.h>
#include <fcntl.h>

#include <cstring>
#include <memory>
#include <vector>

#include "client/files/record.hpp"
#include "client/messages.hpp"
#include "common/errors.hpp"
#include "common/fs.hpp"

namespace vemo::files {
namespace {

struct Listing {
    std::vector<FileRecord> dirs, files;
};

LinkHint link_hint(unsigned char type) {
    if (type == DT_LNK) return LinkHint::kLink;
    return type == DT_UNKNOWN ? LinkHint::kUnknown : LinkHint::kNotLink;
}

bool is_dot_entry(const char* name) { return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0; }

// Entries whose status cannot be read (a link to nothing, or one that
// vanished meanwhile) are left out.
Listing list_directory(const std::string& path) {
    const std::unique_ptr<DIR, Deleter<::closedir>> dir(::opendir(path.c_str()));
    if (!dir) throw IoError(errno);
    const int dir_fd = ::dirfd(dir.get());
    AccountNames accounts;
    Listing listing;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (!entry) break;
        if (is_dot_entry(entry->d_name)) continue;
        const std::string name = entry->d_name;
        auto record = read_record(dir_fd, name, name, link_hint(entry->d_type), accounts);
        if (!record) continue;
        (record->is_dir ? listing.dirs : listing.files).push_back(std::move(*record));
    }
    if (errno != 0) throw IoError(errno);
    return listing;
}

py::list record_objects(const std::vector<FileRecord>& records) {
    py::list objects(records.size());
    for (size_t i = 0; i < records.size(); ++i) objects[i] = record_object(records[i]);
    return objects;
}

}  // namespace

void get_file_list(Agent& agent, int fd, const py::bytes& data) {
    const py::object path = json_loads(py::bytes(agent.aes_decode(fd, data)).attr("decode")("utf-8"));
    if (!py::isinstance<py::str>(path)) throw py::type_error("the listing request is not a path");
    const std::string raw_path = fs::request_path(path);
    if (!without_gil([&] { return fs::status(raw_path); })) {
        agent._error(fd, py::str(messages::kNoSuchDirectory));
        return;
    }
    const Listing listing = without_gil([&] { return list_directory(raw_path); });
    py::dict reply;
    reply["dirs"] = record_objects(listing.dirs);
    reply["files"] = record_objects(listing.files);
    agent.send(fd, reply);
}

py::dict get_file_stat(Agent&, const py::object& filename) {
    const std::string path = fs::request_path(filename);
    const FileRecord record = without_gil([&] {
        AccountNames accounts;
        auto found = read_record(AT_FDCWD, path, path.substr(path.rfind('/') + 1), LinkHint::kUnknown, accounts);
        if (!found) throw IoError(errno);
        return std::move(*found);
    });
    return record_object(record);
}

}  // namespace vemo::files
