// get_file_list and get_file_stat: one directory's entries, split into
// directories and everything else, in the order the directory yields them.
#include <fcntl.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <vector>

#include "client/files/record.hpp"
#include "client/files/slices.hpp"
#include "client/messages.hpp"
#include "common/errors.hpp"
#include "common/fs.hpp"

namespace vemo::files {
namespace {

// The reply text as json.dumps writes {"dirs": [...], "files": [...]},
// straight into the reply's bytes object; the slices go with this call.
py::bytes listing_reply(std::deque<Slice> slices, size_t limit) {
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
    if (size > limit) throw ListingTooLarge(limit);
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
    // A path through a user's planted link lists nothing: to the master it
    // is missing.
    std::optional<FileDescriptor> dir = without_gil([&] { return fs::open_unplanted(raw_path); });
    if (!dir) {
        agent._error(fd, py::str(messages::kNoSuchDirectory));
        return;
    }
    const size_t limit = static_cast<size_t>(std::max<int64_t>(agent.max_reply, 0));
    std::deque<Slice> slices =
        without_gil([&] { return read_directory(fs::open_listable(dir->get()), limit); });
    agent.send(fd, listing_reply(std::move(slices), limit));
}

namespace {

// The last component is examined in its directory, which is reached under
// the same rule as every other path; "a/b/" names "b" itself.
py::dict get_file_stat(Agent&, const py::object& filename) {
    const std::string path = fs::request_path(filename);
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const FileRecord record = without_gil([&] {
        const std::optional<FileDescriptor> dir = fs::open_unplanted(name.empty() ? path : parent);
        if (!dir) throw IoError(ENOENT);
        AccountNames accounts;
        auto found = read_record(dir->get(), name.empty() ? "." : name, name, accounts);
        if (!found) throw IoError(errno);
        return std::move(*found);
    });
    return record_object(record);
}

}  // namespace

void bind_file_stat(AgentClass& cls) {
    cls.def("get_file_stat", &get_file_stat, py::arg("filename"));
}

}  // namespace vemo::files
