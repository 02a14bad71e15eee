// Reading a directory's file records, on a few threads for a large one.
#include "client/files/slices.hpp"

#include <dirent.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "common/errors.hpp"
#include "common/fs.hpp"
#include "common/parallel.hpp"

namespace vemo::files {
namespace {

bool is_dot_entry(const char* name) {
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

struct Entry {
    std::string name;
};

// Reading the status of each entry is most of a large listing's time, and
// almost all of it is in the kernel: large directories are examined by a
// few threads at once, a batch of entries at a time, while they are still
// being read.  Each thread also writes its batch's share of the reply text.
constexpr size_t kEntriesPerBatch = 4096;
constexpr size_t kMostThreads = 4;

// Entries whose status cannot be read (a link to nothing, or one that
// vanished meanwhile) are left out.
void read_slice(int dir_fd, const Entry* begin, const Entry* end, Slice& slice) {
    AccountNames accounts;
    for (const Entry* entry = begin; entry != end; ++entry) {
        std::optional<FileRecord> record = read_record(dir_fd, entry->name, entry->name, accounts);
        if (record) (record->is_dir ? slice.dirs : slice.files).push_back(std::move(*record));
    }
}

// The least text the records can make: their texts without quotes or
// escapes.
size_t least_text(const std::vector<FileRecord>& records) {
    size_t size = 0;
    for (const FileRecord& r : records) size += r.name.size() + r.user.size() + r.link.size();
    return size;
}

// The records' text, when it needs no interpreter; then the records
// themselves are no longer needed (a long link text is held only once).
// The bytes of text the slice will take in the reply, at least.
size_t write_plain(Slice& slice) {
    slice.written = write_records(slice.dirs_json, slice.dirs, append_plain_json) &&
                    write_records(slice.files_json, slice.files, append_plain_json);
    if (!slice.written) {
        slice.dirs_json.clear();
        slice.files_json.clear();
        return least_text(slice.dirs) + least_text(slice.files);
    }
    slice.dirs = {};
    slice.files = {};
    return slice.dirs_json.size() + slice.files_json.size();
}

// A large directory's entries are handed on in batches as they are read;
// each batch's status is read by whichever thread is free, the reading
// thread too once the directory is through.  Slices keep the batches'
// order, so the directory's.
class Batches {
public:
    Batches(int dir_fd, size_t limit) : dir_fd_(dir_fd), limit_(limit) {}

    void add(std::vector<Entry> entries) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            entries_.push_back(std::move(entries));
            slices_.emplace_back();
        }
        ready_.notify_one();
    }

    void finish() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            finished_ = true;
        }
        ready_.notify_all();
    }

    // Examines batches until none is left and no more will come, or the
    // text written passes the limit.
    void work() {
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex_);
            ready_.wait(lock, [&] { return taken_ < entries_.size() || finished_ || too_large(); });
            if (taken_ == entries_.size() || too_large()) return;
            // Elements of a deque stay where they are as others are added.
            std::vector<Entry>& entries = entries_[taken_];
            Slice& slice = slices_[taken_++];
            lock.unlock();
            read_slice(dir_fd_, entries.data(), entries.data() + entries.size(), slice);
            entries = {};
            const size_t written = write_plain(slice);
            lock.lock();
            written_ += written;
            if (too_large()) ready_.notify_all();
        }
    }

    bool too_large() const { return written_ > limit_; }
    bool past_limit() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return too_large();
    }

    std::deque<Slice>& slices() { return slices_; }

private:
    const int dir_fd_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::vector<Entry>> entries_;
    std::deque<Slice> slices_;
    size_t taken_ = 0;
    bool finished_ = false;
    const size_t limit_;
    size_t written_ = 0;
};

// Helpers start with the first full batch, so that small directories are
// read on the calling thread alone.
class Examiners {
public:
    explicit Examiners(Batches& batches) : batches_(batches) {}
    ~Examiners() { join(); }

    void start() {
        if (!helpers_.empty()) return;
        const size_t count = std::min(processor_count(), kMostThreads) - 1;
        failures_.resize(count);
        for (size_t i = 0; i < count; ++i)
            helpers_.emplace_back([this, i] {
                try {
                    batches_.work();
                } catch (...) {
                    failures_[i] = std::current_exception();
                }
            });
    }

    // Waits for the helpers; a failure on one of them is rethrown here.
    void join() {
        batches_.finish();
        for (auto& helper : helpers_)
            if (helper.joinable()) helper.join();
    }

    void rethrow_failure() const {
        for (const auto& failure : failures_)
            if (failure) std::rethrow_exception(failure);
    }

private:
    Batches& batches_;
    std::vector<std::thread> helpers_;
    std::vector<std::exception_ptr> failures_;
};

}  // namespace

ListingTooLarge::ListingTooLarge(size_t limit)
    : std::invalid_argument("the listing exceeds the agent's max_reply of " + std::to_string(limit) +
                            " bytes") {}

std::deque<Slice> read_directory(FileDescriptor opened, size_t limit) {
    const std::unique_ptr<DIR, Deleter<::closedir>> dir(::fdopendir(opened.get()));
    if (!dir) throw IoError(errno);
    opened.release();  // the stream closes it
    Batches batches(::dirfd(dir.get()), limit);
    Examiners examiners(batches);
    std::vector<Entry> batch;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (!entry) {
            if (errno != 0) throw IoError(errno);
            break;
        }
        if (is_dot_entry(entry->d_name)) continue;
        batch.push_back({entry->d_name});
        if (batch.size() == kEntriesPerBatch) {
            batches.add(std::exchange(batch, {}));
            examiners.start();
            if (batches.past_limit()) break;
        }
    }
    batches.add(std::move(batch));
    batches.finish();
    batches.work();
    examiners.join();
    examiners.rethrow_failure();
    if (batches.past_limit()) throw ListingTooLarge(limit);
    return std::move(batches.slices());
}

}  // namespace vemo::files
