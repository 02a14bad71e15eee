// Commands of other programs (the environment's installer, the PHP
// interpreter) run through the system shell, the way an administrator
// would type them.
#pragma once

#include <string>
#include <string_view>

namespace vemo {

struct ShellOutput {
    std::string out;
    std::string err;
};

// Runs `command` with /bin/sh -c, standard input from /dev/null, and reads
// its standard output and standard error to their ends.  After `limit`
// seconds the command's process group is killed and what it printed so
// far is returned.  Does not touch the interpreter: callers release the
// interpreter lock around it.
ShellOutput run_shell(const std::string& command, double limit);

// `text` as one shell word, whatever characters it holds.
std::string shell_quote(std::string_view text);

}  // namespace vemo
