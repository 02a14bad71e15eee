// A directory's file records in the order the directory yields them, in
// slices that also carry their share of the listing's reply text.
#pragma once

#include <cstddef>
#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include "client/files/record.hpp"

namespace vemo::files {

struct Slice {
    std::vector<FileRecord> dirs, files;
    // The records as the reply writes them, comma-separated; empty until
    // written when a name needs the interpreter's escapes.
    std::string dirs_json, files_json;
    bool written = false;
};

// A listing whose reply text would pass the agent's max_reply.
struct ListingTooLarge : std::invalid_argument {
    explicit ListingTooLarge(size_t limit);
};

// The records of every entry of the directory open on `dir` whose status
// can be read.  Records already written as text are let go.  Stops with
// ListingTooLarge as soon as the text written passes `limit` bytes.  Runs
// without the interpreter.
std::deque<Slice> read_directory(FileDescriptor dir, size_t limit);

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

}  // namespace vemo::files
