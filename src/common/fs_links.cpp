// Walking a path in which a local user may have planted symbolic links, at
// any depth: one component at a time, each opened without following it,
// each link examined before it is followed.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <vector>

#include "common/errors.hpp"
#include "common/fs.hpp"

namespace vemo::fs {
namespace {

constexpr int kMostLinks = 40;      // the kernel's own limit on one lookup
constexpr int kMostCreations = 64;  // per walk, against a user who keeps removing them
constexpr mode_t kNewDirMode = 0777;

enum class Outcome { kReached, kMissing, kRefused };

struct Link {
    uid_t owner;
    size_t resolved_at;  // components still to go once its text is used up
};

std::optional<FileDescriptor> open_entry(int dir, const std::string& name, int flags) {
    int fd;
    do {
        fd = ::openat(dir, name.c_str(), O_PATH | O_CLOEXEC | O_NOFOLLOW | flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::nullopt;
    return FileDescriptor(fd);
}

std::optional<std::string> link_text(int link) {
    char text[PATH_MAX];
    const ssize_t n = ::readlinkat(link, "", text, sizeof text);
    if (n < 0 || static_cast<size_t>(n) == sizeof text) return std::nullopt;
    return std::string(text, static_cast<size_t>(n));
}

// A link is followed only when root made it, or when its owner also owns
// what it leads to: that owner could have reached it without the link.
// The agent runs as root, so nothing else stands between a user's link and
// root's files.
class Walk {
public:
    // `create` makes each missing directory of `path`, the last one with
    // `last_mode` and the others with kNewDirMode.
    Walk(int start, const std::string& path, bool create, mode_t last_mode = kNewDirMode)
        : create_(create), last_mode_(last_mode) {
        if (path.empty()) return;  // names nothing, as for the system
        const bool absolute = path[0] == '/';
        at_ = open_entry(absolute ? AT_FDCWD : start, absolute ? "/" : ".", O_DIRECTORY);
        if (!at_) start_error_ = errno;
        push(path);
    }

    Outcome run() {
        if (!at_) return missing(start_error_);
        int links = 0, creations = 0;
        for (;;) {
            if (!settle()) return refused();
            if (rest_.empty()) return Outcome::kReached;
            const std::string name = std::move(rest_.back());
            rest_.pop_back();
            std::optional<FileDescriptor> entry = open_entry(at_->get(), name, 0);
            if (!entry) {
                const int err = errno;
                // Only the path's own components are created, never what a
                // link's text names.
                if (err != ENOENT || !create_ || !links_.empty() || ++creations > kMostCreations)
                    return missing(err);
                const mode_t mode = rest_.empty() ? last_mode_ : kNewDirMode;
                if (::mkdirat(at_->get(), name.c_str(), mode) != 0 && errno != EEXIST) return missing(errno);
                rest_.push_back(name);  // opened, and examined, like any other
                continue;
            }
            const struct stat st = entry->status();
            if (!S_ISLNK(st.st_mode)) {
                at_ = std::move(entry);
                continue;
            }
            // Read through the descriptor examined, never again by name,
            // so a link swapped in after its examination is never followed.
            const std::optional<std::string> text = link_text(entry->get());
            if (++links > kMostLinks || !text || text->empty()) return missing(text ? ELOOP : ENOENT);
            links_.push_back({st.st_uid, rest_.size()});
            if ((*text)[0] == '/') {
                at_ = open_entry(AT_FDCWD, "/", O_DIRECTORY);
                if (!at_) return missing(errno);
            }
            push(*text);
        }
    }

    FileDescriptor take() { return std::move(*at_); }
    int error() const { return error_; }

private:
    // Components go on a stack, the next one on top.
    void push(const std::string& path) {
        const size_t base = rest_.size();
        for (size_t from = 0; from <= path.size();) {
            size_t slash = path.find('/', from);
            if (slash == std::string::npos) slash = path.size();
            const std::string name = path.substr(from, slash - from);
            if (!name.empty() && name != ".") rest_.push_back(name);
            from = slash + 1;
        }
        std::reverse(rest_.begin() + static_cast<std::ptrdiff_t>(base), rest_.end());
    }

    // Each link whose text is used up led to where the walk now stands.
    bool settle() {
        if (!links_.empty() && links_.back().resolved_at == rest_.size()) {
            const uid_t target_owner = at_->status().st_uid;
            while (!links_.empty() && links_.back().resolved_at == rest_.size()) {
                if (links_.back().owner != 0 && links_.back().owner != target_owner) return false;
                links_.pop_back();
            }
        }
        return true;
    }

    // A link of a user's that leads nowhere could lead anywhere later: the
    // name missing behind it is the user's to make, so it is refused.
    Outcome missing(int err) {
        for (const Link& link : links_)
            if (link.owner != 0) return refused();
        error_ = err;
        return Outcome::kMissing;
    }

    Outcome refused() {
        error_ = EACCES;
        return Outcome::kRefused;
    }

    const bool create_;
    const mode_t last_mode_;
    int start_error_ = ENOENT;
    std::optional<FileDescriptor> at_;
    std::vector<std::string> rest_;
    std::vector<Link> links_;
    int error_ = 0;
};

}  // namespace

std::optional<FileDescriptor> open_unplanted(const std::string& path, int dir) {
    Walk walk(dir, path, false);
    if (walk.run() != Outcome::kReached) return std::nullopt;
    return walk.take();
}

FileDescriptor make_dirs(const std::string& path, mode_t mode) {
    Walk walk(AT_FDCWD, path, true, mode);
    if (walk.run() != Outcome::kReached) throw IoError(walk.error());
    return walk.take();
}

bool vouched_as_far_as_it_exists(const std::string& path) {
    return Walk(AT_FDCWD, path, false).run() != Outcome::kRefused;
}

}  // namespace vemo::fs
