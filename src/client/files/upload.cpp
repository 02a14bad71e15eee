// on_file: the upload proper.  The master's raw bytes are appended to a
// temp file beside the target, which replaces the target once every
// announced byte has arrived.
#include <cerrno>
#include <optional>
#include <vector>

#include "client/files/raw.hpp"
#include "client/files/upload.hpp"
#include "client/files/upload_lock.hpp"
#include "client/messages.hpp"
#include "common/errors.hpp"
#include "common/fs.hpp"
#include "common/host.hpp"

namespace vemo::files {
namespace {

struct Answer {
    bool success;
    const char* text;
};

struct UploadPlan {
    UploadNames names;
    long long f_size = 0;
    std::optional<long long> f_pos;

    // What the master sends after the header: the file from f_pos on.
    uint64_t announced() const {
        const long long from = f_pos.value_or(0);
        // Unsigned, so that extreme sizes and offsets cannot overflow.
        return f_size > from ? static_cast<uint64_t>(f_size) - static_cast<uint64_t>(from) : 0;
    }
};

// Sizes first: they say where the master's file bytes end, which must be
// known before anything else about the header can fail.
UploadPlan plan_sizes(const py::dict& header) {
    UploadPlan plan;
    plan.f_size = request_integer(header, "f_size");
    if (header.contains("f_pos")) {
        plan.f_pos = request_integer(header, "f_pos");
        if (*plan.f_pos < 0) throw py::value_error("'f_pos' must be 0 or more");
    }
    return plan;
}

// Only plain digits and a plain account name are handed on to the panel's
// mode and owner helpers.
bool permissions_valid(const py::dict& header) {
    const py::object match = py::module_::import("re").attr("match");
    return !match(R"(^\d+$)", py::str(header["f_mode"])).is_none() &&
           !match(R"(^\w+$)", header["f_user"]).is_none();
}

Answer refuse(RawReceiver& raw, const char* text) {
    without_gil([&] { raw.discard_rest(); });
    return {false, text};
}

// TLS may hand over the master's first piece in parts, so it is collected
// until complete rather than taken from a single read.
std::string receive_first_chunk(RawReceiver& raw) {
    std::string chunk(kFirstChunkSize, '\0');
    chunk.resize(without_gil([&] { return raw.receive(chunk.data(), chunk.size()); }));
    raw.rethrow_failure();
    return chunk;
}

// A fresh upload never builds on a leftover; a resumed one only on a temp
// file of the agent's own that holds exactly the bytes the master believes
// it holds.  Whatever a local user planted under the temp name is never
// followed, and the bytes stay readable by root alone until the end.
std::optional<FileDescriptor> open_temp(const UploadPlan& plan, int dir) {
    const std::string& name = plan.names.temp_name;
    if (!plan.f_pos) {
        fs::remove_entry(dir, name);
        return fs::create_private(dir, name);
    }
    std::optional<FileDescriptor> held = fs::open_own_leftover(dir, name);
    if ((held ? held->status().st_size : 0) != *plan.f_pos) return std::nullopt;
    if (held) return held;
    return fs::create_private(dir, name);
}

// open_temp for this upload alone: the temp file stays locked for as long
// as the result lives, and an upload already under way to the same target
// is never touched (see upload_lock.hpp).
std::optional<FileDescriptor> open_temp_alone(const UploadPlan& plan, int dir) {
    const std::string& name = plan.names.temp_name;
    std::optional<FileDescriptor> present = lock_present(dir, name, plan.names.target_path);
    std::optional<FileDescriptor> temp;
    try {
        temp = without_gil([&] { return open_temp(plan, dir); });
    } catch (const IoError& e) {
        // Another upload created the name between our removal and creation.
        if (e.code == EEXIST) upload_conflict(plan.names.target_path);
        throw;
    }
    if (temp) lock_opened(*temp, std::move(present), dir, name, plan.names.target_path);
    return temp;
}

// Every byte that arrives reaches the temp file, also when the stream stops
// half-way through a piece, so an upload cut short can resume from there.
// A temp file the file system refused to take (a full disk) goes: it would
// keep the space the next attempt needs.
uint64_t append_transfer(const FileDescriptor& temp, int dir, const std::string& temp_name,
                         const std::string& first, RawReceiver& raw) {
    py::gil_scoped_release nogil;
    uint64_t received = first.size();
    try {
        write_all(temp.get(), first.data(), first.size());
        std::vector<char> piece(static_cast<size_t>(std::min<uint64_t>(raw.left(), kTransferPiece)));
        while (raw.left() > 0 && !raw.stopped()) {
            const size_t n = raw.receive(piece.data(), piece.size());
            write_all(temp.get(), piece.data(), n);
            received += n;
        }
    } catch (...) {
        try {
            fs::remove_entry(dir, temp_name);
        } catch (...) {
        }
        throw;
    }
    raw.rethrow_failure();
    return received;
}

// Mode and owner go to the file written, before it takes the target's
// name: whatever that name leads to meanwhile, a local user's link
// included, is never touched.  The panel's helpers take paths, so they
// get one bound to the open file.
void apply_mode_and_owner(const py::dict& header, bool with_mode, const FileDescriptor& temp) {
    if (!with_mode) return without_gil([&] { fs::give_default_mode(temp.get()); });
    const host::Public panel;
    const py::str written(fs::descriptor_path(temp.get()));
    panel.set_mode(written, header["f_mode"]);
    panel.set_own(written, header["f_user"]);
}

Answer receive_upload(const py::dict& header, const UploadPlan& plan, RawReceiver& raw) {
    const bool with_mode = header.contains("f_mode");
    if (with_mode && !permissions_valid(header)) return refuse(raw, messages::kBadPermissions);
    std::string first;
    if (plan.f_size > 0) {
        first = receive_first_chunk(raw);
        if (!py::object(header["f_md5"]).equal(bytes_md5(first))) return refuse(raw, messages::kBadHead);
    }
    const UploadNames& names = plan.names;
    // Temp and target are named in the one directory opened here, however
    // its path changes meanwhile, and never through a user's planted link.
    const FileDescriptor dir = without_gil([&] {
        FileDescriptor made = fs::make_dirs(names.dir);
        if (names.parent == names.dir) return made;
        std::optional<FileDescriptor> parent = fs::open_unplanted(names.parent);
        if (!parent) throw IoError(ENOENT);
        return std::move(*parent);
    });
    const std::optional<FileDescriptor> temp = open_temp_alone(plan, dir.get());
    if (!temp) return refuse(raw, messages::kCountMismatch);
    const uint64_t received = append_transfer(*temp, dir.get(), names.temp_name, first, raw);
    if (static_cast<long long>(received) + plan.f_pos.value_or(0) != plan.f_size)
        return {false, messages::kCountMismatch};
    apply_mode_and_owner(header, with_mode, *temp);
    without_gil([&] { fs::rename_entry(dir.get(), names.temp_name, names.target_name); });
    return {true, messages::kUploaded};
}

// Whatever went wrong, the rest of the master's bytes must not be read as
// frames: consume them, or give up on a connection that is out of step.
void settle_after_failure(Agent& agent, int fd, RawReceiver& raw) {
    try {
        py::gil_scoped_release nogil;
        raw.discard_rest();
        return;
    } catch (...) {
    }
    agent.on_close(fd);
}

}  // namespace

UploadNames upload_names(const py::dict& request) {
    UploadNames names;
    const py::object dir = request["f_path"];
    names.target = dir + py::str("/") + request["f_name"];
    names.dir = fs::request_path(dir);
    names.target_path = fs::request_path(names.target);
    const size_t slash = names.target_path.rfind('/');  // there is one: it was put there above
    names.parent = slash == 0 ? "/" : names.target_path.substr(0, slash);
    names.target_name = names.target_path.substr(slash + 1);
    names.temp_name = names.target_name + kTempSuffix;
    return names;
}

void on_file(Agent& agent, int fd, const py::bytes& data) {
    py::dict header;
    UploadPlan plan;
    try {
        header = open_request(agent, fd, data);
        plan = plan_sizes(header);
    } catch (...) {
        // The master's file bytes follow at once, and where they end is
        // unknown: the connection is out of step for good.  The master
        // still hears why, where a sealed reply can be made.
        py::error_already_set error = current_as_python();
        py::error_already_set report = with_native_frame(error, "on_file");
        try {
            agent.send(fd, py::str(host::panel().error_info(report)));
        } catch (...) {
        }
        agent.on_close(fd);
        throw report;
    }
    const std::shared_ptr<Connection> conn = agent.connection(fd);
    RawReceiver raw(conn->stream, plan.announced(), agent.io_timeout);
    Answer answer;
    try {
        plan.names = upload_names(header);
        answer = receive_upload(header, plan, raw);
    } catch (...) {
        settle_after_failure(agent, fd, raw);
        throw;
    }
    if (answer.success)
        agent._success(fd, py::str(answer.text));
    else
        agent._error(fd, py::str(answer.text));
}

}  // namespace vemo::files
