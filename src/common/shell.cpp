#include "common/shell.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>

#include "common/errors.hpp"

extern char** environ;

namespace vemo {
namespace {

struct Pipe {
    int ends[2] = {-1, -1};
    Pipe() {
        if (::pipe2(ends, O_CLOEXEC) != 0) throw IoError(errno);
    }
    ~Pipe() {
        close_write();
        if (ends[0] >= 0) ::close(ends[0]);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    void close_write() {
        if (ends[1] >= 0) ::close(ends[1]);
        ends[1] = -1;
    }
};

struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;

    SpawnSetup(const Pipe& out, const Pipe& err) {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out.ends[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err.ends[1], 2);
        // A group of its own, so that a command past its limit is killed
        // with everything it started.  The interpreter ignores SIGPIPE;
        // the command gets the default back, as the interpreter's own
        // process launcher does.
        sigset_t none, restored;
        sigemptyset(&none);
        sigemptyset(&restored);
        sigaddset(&restored, SIGPIPE);
        sigaddset(&restored, SIGXFSZ);
        posix_spawnattr_setflags(&attr,
                                 POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        posix_spawnattr_setpgroup(&attr, 0);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &restored);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

pid_t spawn_shell(const std::string& command, const Pipe& out, const Pipe& err) {
    SpawnSetup setup(out, err);
    char sh[] = "sh", dash_c[] = "-c";
    char* argv[] = {sh, dash_c, const_cast<char*>(command.c_str()), nullptr};
    pid_t pid;
    const int rc = posix_spawn(&pid, "/bin/sh", &setup.actions, &setup.attr, argv, environ);
    if (rc != 0) throw IoError(rc);
    return pid;
}

// Drains both pipes until they end or the deadline passes; false on the
// deadline.
bool read_both(int out_fd, int err_fd, ShellOutput& output, double limit) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration<double>(limit);
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string* sinks[2] = {&output.out, &output.err};
    char buf[64 * 1024];
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        const int ready = ::poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 60000)));
        if (ready < 0 && errno != EINTR) throw IoError(errno);
        for (int i = 0; i < 2 && ready > 0; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0)
                sinks[i]->append(buf, static_cast<size_t>(n));
            else if (n == 0 || errno != EINTR)
                fds[i].fd = -1;
        }
    }
    return true;
}

void reap(pid_t pid) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

ShellOutput run_shell(const std::string& command, double limit) {
    // The shell would see only the text before it.
    if (command.find('\0') != std::string::npos) throw std::invalid_argument("embedded null byte");
    Pipe out, err;
    const pid_t pid = spawn_shell(command, out, err);
    out.close_write();
    err.close_write();
    ShellOutput output;
    try {
        if (!read_both(out.ends[0], err.ends[0], output, limit)) ::kill(-pid, SIGKILL);
    } catch (...) {
        ::kill(-pid, SIGKILL);
        reap(pid);
        throw;
    }
    reap(pid);
    return output;
}

std::string shell_quote(std::string_view text) {
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

}  // namespace vemo
