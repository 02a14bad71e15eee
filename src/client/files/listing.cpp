// get_file_list and get_file_stat: one directory's entries, split into
// directories and everything else, in the order the directory yields them.
#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "client/files/record.hpp"
#include "client/messages.hpp"
#include "common/errors.hpp"
#include "common/fs.hpp"
#include "common/parallel.hpp"

namespace vemo::files {
namespace {

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
// threads at once, each over its own slice, the order kept.  Each thread
// also writes its slice's share of the reply text.
constexpr size_t kEntriesPerThread = 4096;
constexpr size_t kMostThreads = 4;

struct Slice {
    std::vector<FileRecord> dirs, files;
    // The records as the reply writes them, comma-separated; empty until
    // written when a name needs the interpreter's escapes.
    std::string dirs_json, files_json;
    bool written = false;
};

// Entries whose status cannot be read (a link to nothing, or one that
// vanished meanwhile) are left out.
void read_slice(int dir_fd, const Entry* begin, const Entry* end, Slice& slice) {
    AccountNames accounts;
    for (const Entry* entry = begin; entry != end; ++entry) {
        std::optional<FileRecord> record =
            read_record(dir_fd, entry->name, entry->name, entry->hint, accounts);
        if (record) (record->is_dir ? slice.dirs : slice.files).push_back(std::move(*record));
    }
}

// Appends `records` to `out` comma-separated with `append`; false as soon
// as one cannot be.
template <class Append>
bool write_records(std::string& out, const std::vector<FileRecord>& records, Append&& append) {
    for (size_t i = 0; i < records.size(); ++i) {
        if (i) out += ", ";
        if (!append(out, records[i])) return false;
    }
    return true;
}

void write_plain(Slice& slice) {
    slice.written = write_records(slice.dirs_json, slice.dirs, append_plain_json) &&
                    write_records(slice.files_json, slice.files, append_plain_json);
    if (!slice.written) {
        slice.dirs_json.clear();
        slice.files_json.clear();
    }
}

std::vector<Slice> list_directory(const std::string& path) {
    const std::unique_ptr<DIR, Deleter<::closedir>> dir(::opendir(path.c_str()));
    if (!dir) throw IoError(errno);
    const std::vector<Entry> entries = read_entries(dir.get());
    const size_t threads =
        std::min({processor_count(), kMostThreads, 1 + entries.size() / kEntriesPerThread});
    const size_t per_slice = (entries.size() + threads - 1) / threads;
    std::vector<Slice> slices(threads);
    const auto work = [&](size_t t) {
        const size_t begin = std::min(entries.size(), t * per_slice);
        const size_t end = std::min(entries.size(), begin + per_slice);
        read_slice(::dirfd(dir.get()), entries.data() + begin, entries.data() + end, slices[t]);
        write_plain(slices[t]);
    };
    run_in_threads(threads, work);
    return slices;
}

// The reply text as json.dumps writes {"dirs": [...], "files": [...]},
// straight into the reply's bytes object.
py::bytes listing_reply(std::vector<Slice>& slices) {
    const RecordJson json;
    const auto escaped = [&](std::string& out, const FileRecord& record) {
        json.append(out, record);
        return true;
    };
    for (Slice& slice : slices) {
        if (slice.written) continue;
        write_records(slice.dirs_json, slice.dirs, escaped);
        write_records(slice.files_json, slice.files, escaped);
    }
    std::vector<std::string_view> pieces{"{\"dirs\": ["};
    const auto add_all = [&](std::string Slice::*json_of) {
        bool first = true;
        for (const Slice& slice : slices) {
            if ((slice.*json_of).empty()) continue;
            if (!first) pieces.emplace_back(", ");
            pieces.emplace_back(slice.*json_of);
            first = false;
        }
    };
    add_all(&Slice::dirs_json);
    pieces.emplace_back("], \"files\": [");
    add_all(&Slice::files_json);
    pieces.emplace_back("]}");
    size_t size = 0;
    for (const auto piece : pieces) size += piece.size();
    auto reply =
        py::reinterpret_steal<py::bytes>(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!reply) throw py::error_already_set();
    char* at = PyBytes_AS_STRING(reply.ptr());
    for (const auto piece : pieces) at = std::copy(piece.begin(), piece.end(), at);
    return reply;
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
    std::vector<Slice> slices = without_gil([&] { return list_directory(raw_path); });
    agent.send(fd, listing_reply(slices));
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
