// get_file_list and get_file_stat: one directory's entries, split into
// directories and everything else, in the order the directory yields them.
#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>
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

bool is_dot_entry(const char* name) {
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

struct Entry {
    std::string name;
    LinkHint hint;
};

std::vector<Entry> read_entries(DIR* dir) {
    std::vector<Entry> entries;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (!entry) break;
        if (is_dot_entry(entry->d_name)) continue;
        entries.push_back({entry->d_name, link_hint(entry->d_type)});
    }
    if (errno != 0) throw IoError(errno);
    return entries;
}

// Reading the status of each entry is most of a large listing's time, and
// almost all of it is in the kernel: large directories are read by a few
// threads at once, each over its own slice, the order kept.
constexpr size_t kEntriesPerThread = 4096;
constexpr unsigned kMostThreads = 4;

std::vector<std::optional<FileRecord>> read_records(int dir_fd, const std::vector<Entry>& entries) {
    std::vector<std::optional<FileRecord>> records(entries.size());
    const auto read_slice = [&](size_t begin, size_t end) {
        AccountNames accounts;
        for (size_t i = begin; i < end; ++i)
            records[i] = read_record(dir_fd, entries[i].name, entries[i].name, entries[i].hint, accounts);
    };
    const size_t wanted = std::min<size_t>(std::max(1u, std::thread::hardware_concurrency()), kMostThreads);
    const size_t threads = std::min(wanted, 1 + entries.size() / kEntriesPerThread);
    const size_t slice = (entries.size() + threads - 1) / threads;
    std::vector<std::thread> helpers;
    for (size_t t = 1; t < threads; ++t)
        helpers.emplace_back(read_slice, t * slice, std::min(entries.size(), (t + 1) * slice));
    read_slice(0, std::min(entries.size(), slice));
    for (auto& helper : helpers) helper.join();
    return records;
}

// Entries whose status cannot be read (a link to nothing, or one that
// vanished meanwhile) are left out.
Listing list_directory(const std::string& path) {
    const std::unique_ptr<DIR, Deleter<::closedir>> dir(::opendir(path.c_str()));
    if (!dir) throw IoError(errno);
    const std::vector<Entry> entries = read_entries(dir.get());
    std::vector<std::optional<FileRecord>> records = read_records(::dirfd(dir.get()), entries);
    Listing listing;
    const auto dirs =
        std::count_if(records.begin(), records.end(), [](const auto& r) { return r && r->is_dir; });
    listing.dirs.reserve(static_cast<size_t>(dirs));
    listing.files.reserve(records.size() - static_cast<size_t>(dirs));
    for (auto& record : records) {
        if (!record) continue;
        (record->is_dir ? listing.dirs : listing.files).push_back(std::move(*record));
    }
    return listing;
}

// The reply text as json.dumps writes {"dirs": [...], "files": [...]},
// built in one buffer rather than through an object per record.
std::string listing_json(const Listing& listing) {
    const RecordJson json;
    std::string out;
    // One allocation for the common case: a record's keys and numbers take
    // about 90 bytes besides its texts.
    size_t estimate = 32;
    for (const auto* records : {&listing.dirs, &listing.files})
        for (const FileRecord& r : *records) estimate += 96 + r.name.size() + r.user.size() + r.link.size();
    out.reserve(estimate);
    const auto append_all = [&](const char* key, const std::vector<FileRecord>& records) {
        out += key;
        out += '[';
        for (size_t i = 0; i < records.size(); ++i) {
            if (i) out += ", ";
            json.append(out, records[i]);
        }
        out += ']';
    };
    append_all("{\"dirs\": ", listing.dirs);
    append_all(", \"files\": ", listing.files);
    out += '}';
    return out;
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
    agent.send(fd, py::bytes(listing_json(listing)));
}

py::dict get_file_stat(Agent&, const py::object& filename) {
    const std::string path = fs::request_path(filename);
    const FileRecord record = without_gil([&] {
        AccountNames accounts;
        auto found =
            read_record(AT_FDCWD, path, path.substr(path.rfind('/') + 1), LinkHint::kUnknown, accounts);
        if (!found) throw IoError(errno);
        return std::move(*found);
    });
    return record_object(record);
}

}  // namespace vemo::files
