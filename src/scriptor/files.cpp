#include "common/pybind.hpp"

#include "scriptor/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/errors.hpp"
#include "common/fdio.hpp"
#include "common/fsquery.hpp"

namespace vemo::scriptor {

namespace {

[[noreturn]] void raise_os_error(const std::string& path) {
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw py::error_already_set();
}

void copy_content(int from, int to) {
    char buf[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(from, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw IoError(errno);
        if (n == 0) return;
        write_all(to, buf, static_cast<size_t>(n));
    }
}

}  // namespace

void make_dirs(const std::string& path, unsigned mode) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string parent = path.substr(0, slash);
        if (::mkdir(parent.c_str(), 0777) != 0 && errno != EEXIST) raise_os_error(parent);
    }
    // Another object of the same plugin may have made it meanwhile.
    if (::mkdir(path.c_str(), mode) != 0 && !(errno == EEXIST && fs::exists(path))) {
        raise_os_error(path);
    }
}

double change_time(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) raise_os_error(path);
    return static_cast<double>(st.st_ctim.tv_sec) + st.st_ctim.tv_nsec * 1e-9;
}

void remove_file(const std::string& path) {
    if (::unlink(path.c_str()) != 0) raise_os_error(path);
}

void discard_file(const std::string& path) noexcept { ::unlink(path.c_str()); }

void copy_with_mode(const std::string& source, const std::string& target) {
    FileDescriptor from(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (from.get() < 0 || ::fstat(from.get(), &st) != 0) raise_os_error(source);
    FileDescriptor to(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (to.get() < 0) raise_os_error(target);
    try {
        copy_content(from.get(), to.get());
        if (::fchmod(to.get(), st.st_mode & 07777) != 0) throw IoError(errno);
    } catch (const IoError& e) {
        // A half-written copy would be taken for a finished one later.
        discard_file(target);
        errno = e.code;
        raise_os_error(target);
    }
}

}  // namespace vemo::scriptor
