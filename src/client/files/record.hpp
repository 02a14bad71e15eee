// The file record of the listing: what it says about one path, gathered
// without the interpreter, then turned into the object the master reads.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "client/files/files.hpp"

namespace vemo::files {

struct FileRecord {
    std::string name, user, link;  // as the file system and account database spell them
    int mode;                      // permission digits read as a decimal number: 0755 -> 755
    long long mtime, size;
    bool is_dir;
};

// Account names by owner id, each looked up once for a whole listing.
class AccountNames {
public:
    // The id as decimal text when no account has it.
    const std::string& name_of(uid_t uid);

private:
    std::unordered_map<uid_t, std::string> names_;
};

// The record of entry `at_name` of the directory `dir_fd`.  Status follows
// a link only as fs::open_unplanted does: nothing when the status cannot be
// read, the entry being a link to nothing or one a local user planted to
// lead elsewhere.
std::optional<FileRecord> read_record(int dir_fd, const std::string& at_name, std::string_view name,
                                      AccountNames& accounts);

py::dict record_object(const FileRecord& record);

// Appends the record as the interpreter's json.dumps (default settings)
// writes record_object(record), when its texts are printable ASCII that
// needs no escapes; otherwise false, with `out` unchanged.  Needs no
// interpreter, so threads may call it.
bool append_plain_json(std::string& out, const FileRecord& record);

// The same for any record, with the interpreter's escapes; holds the
// interpreter lock.
class RecordJson {
public:
    void append(std::string& out, const FileRecord& record) const;

private:
    py::object escape_ = py::module_::import("json.encoder").attr("encode_basestring_ascii");
};

}  // namespace vemo::files
