// Following a path whose last component may be a symbolic link that a
// local user planted in a directory of theirs.
#include "common/fs.hpp"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace vemo::fs {
namespace {

constexpr int kMostLinks = 40;  // the kernel's own limit on one lookup

struct Split {
    std::string dir, name;
};

// "a/b/" is taken as "a/b": a trailing slash must not make the kernel
// follow a link in "b" unexamined.
Split split(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    std::string name = path.substr(slash + 1);
    return {slash == 0 ? "/" : path.substr(0, slash), name.empty() ? "." : name};
}

std::optional<FileDescriptor> open_path(int dir, const std::string& path, int flags) {
    const int fd = ::openat(dir, path.c_str(), O_PATH | O_CLOEXEC | flags);
    if (fd < 0) return std::nullopt;
    return FileDescriptor(fd);
}

std::optional<std::string> link_text(int link) {
    char text[PATH_MAX];
    const ssize_t n = ::readlinkat(link, "", text, sizeof text);
    if (n < 0 || static_cast<size_t>(n) == sizeof text) return std::nullopt;
    return std::string(text, static_cast<size_t>(n));
}

}  // namespace

std::optional<FileDescriptor> open_unplanted(const std::string& path) {
    if (path.empty()) return std::nullopt;
    Split at = split(path);
    std::optional<FileDescriptor> dir = open_path(AT_FDCWD, at.dir, O_DIRECTORY);
    if (!dir) return std::nullopt;
    std::vector<uid_t> link_owners;
    // Each link is read through the descriptor examined, never again by
    // name, so a link swapped in after its examination is never followed.
    for (int links = 0; links <= kMostLinks; ++links) {
        std::optional<FileDescriptor> entry = open_path(dir->get(), at.name, O_NOFOLLOW);
        if (!entry) return std::nullopt;
        const struct stat st = entry->status();
        if (!S_ISLNK(st.st_mode)) {
            const bool vouched = std::all_of(link_owners.begin(), link_owners.end(),
                                             [&](uid_t owner) { return owner == 0 || owner == st.st_uid; });
            if (!vouched) return std::nullopt;
            return entry;
        }
        link_owners.push_back(st.st_uid);
        const std::optional<std::string> text = link_text(entry->get());
        if (!text) return std::nullopt;
        at = split(*text);
        std::optional<FileDescriptor> next = open_path(dir->get(), at.dir, O_DIRECTORY);
        if (!next) return std::nullopt;
        dir.emplace(std::move(*next));
    }
    return std::nullopt;
}

}  // namespace vemo::fs
