#include "client/files/record.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <iterator>
#include <vector>

#include "common/fs.hpp"

namespace vemo::files {
namespace {

int permission_digits(mode_t mode) {
    return ((mode >> 6) & 7) * 100 + ((mode >> 3) & 7) * 10 + (mode & 7);
}

// Past this many seconds from the epoch a float no longer holds every
// whole second, and its truncation may not fit a long long at all.
constexpr time_t kExactFloatSeconds = time_t{1} << 52;

// Whole seconds as the interpreter truncates its float modification time,
// which rounds up within a few hundred nanoseconds of the next second.
// Times beyond a float's whole seconds (a file system may store any 64-bit
// time) are the file system's own seconds.
long long whole_seconds(const timespec& t) {
    if (t.tv_sec >= kExactFloatSeconds || t.tv_sec <= -kExactFloatSeconds) return t.tv_sec;
    const double seconds = static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
    return static_cast<long long>(seconds);
}

// Nothing when the link is gone, or is no link any more.
std::optional<std::string> link_text(int dir_fd, const std::string& at_name) {
    std::vector<char> buf(256);
    for (;;) {
        const ssize_t n = ::readlinkat(dir_fd, at_name.c_str(), buf.data(), buf.size());
        if (n < 0) return std::nullopt;
        if (static_cast<size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<size_t>(n));
        buf.resize(buf.size() * 2);
    }
}

// Text that json.dumps copies as it is between its quotes.
bool is_plain(std::string_view raw) {
    return std::all_of(raw.begin(), raw.end(),
                       [](char c) { return c >= ' ' && c <= '~' && c != '"' && c != '\\'; });
}

void append_quoted(std::string& out, std::string_view raw) {
    out += '"';
    out += raw;
    out += '"';
}

void append_number(std::string& out, long long n) {
    char digits[24];
    const auto end = std::to_chars(std::begin(digits), std::end(digits), n).ptr;
    out.append(digits, end);
}

// The record's text in json.dumps's key order and spacing; `text` writes
// each string value with its quotes.
template <class Text>
void append_record(std::string& out, const FileRecord& record, Text&& text) {
    out += "{\"name\": ";
    text(out, record.name);
    out += ", \"mode\": ";
    append_number(out, record.mode);
    out += ", \"mtime\": ";
    append_number(out, record.mtime);
    out += ", \"user\": ";
    text(out, record.user);
    out += ", \"size\": ";
    append_number(out, record.size);
    out += ", \"link\": ";
    text(out, record.link);
    out += '}';
}

}  // namespace

const std::string& AccountNames::name_of(uid_t uid) {
    const auto known = names_.find(uid);
    if (known != names_.end()) return known->second;
    std::vector<char> buf(4096);
    passwd entry, *found = nullptr;
    int rc;
    while ((rc = ::getpwuid_r(uid, &entry, buf.data(), buf.size(), &found)) == ERANGE)
        buf.resize(buf.size() * 2);
    return names_[uid] = rc == 0 && found ? std::string(found->pw_name) : std::to_string(uid);
}

std::optional<FileRecord> read_record(int dir_fd, const std::string& at_name, std::string_view name,
                                      AccountNames& accounts) {
    struct stat st;
    if (::fstatat(dir_fd, at_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    const bool is_link = S_ISLNK(st.st_mode);
    if (is_link) {
        const std::optional<FileDescriptor> target = fs::open_unplanted(at_name, dir_fd);
        if (!target) return std::nullopt;
        st = target->status();
    }
    FileRecord record{std::string(name),
                      accounts.name_of(st.st_uid),
                      "",
                      permission_digits(st.st_mode),
                      whole_seconds(st.st_mtim),
                      static_cast<long long>(st.st_size),
                      S_ISDIR(st.st_mode)};
    // An entry replaced between its status and its link text is left out,
    // as one that vanished.
    if (is_link) {
        std::optional<std::string> text = link_text(dir_fd, at_name);
        if (!text) return std::nullopt;
        record.link = std::move(*text);
    }
    return record;
}

py::dict record_object(const FileRecord& record) {
    py::dict object;
    object["name"] = fs::to_text(record.name);
    object["mode"] = record.mode;
    object["mtime"] = record.mtime;
    object["user"] = fs::to_text(record.user);
    object["size"] = record.size;
    object["link"] = fs::to_text(record.link);
    return object;
}

bool append_plain_json(std::string& out, const FileRecord& record) {
    if (!is_plain(record.name) || !is_plain(record.user) || !is_plain(record.link)) return false;
    append_record(out, record, append_quoted);
    return true;
}

// Anything but plain text (escapes, names that are not ASCII) is left to
// the interpreter's own encoder, so that each byte comes out as it would
// there.
void RecordJson::append(std::string& out, const FileRecord& record) const {
    append_record(out, record, [this](std::string& to, std::string_view raw) {
        if (is_plain(raw))
            append_quoted(to, raw);
        else
            to += escape_(fs::to_text(raw)).cast<std::string>();
    });
}

}  // namespace vemo::files
