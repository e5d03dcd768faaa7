// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/FileUtil.h"

#include <functional>

namespace kx::test {

// Limits the size of files this process writes, as a full disk does: a write beyond `bytes` fails
// with EFBIG (SIGXFSZ ignored) until the object goes.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit limited = m_old;
        limited.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = nullptr;
};

// Runs `action` in a child process that may not write `folder` (as the user "nobody" when the
// tests run as root, which writes everywhere) and returns the child's exit code.
inline int runWithoutWriteAccess(const char* folder, const std::function<int()>& action)
{
    ::chmod(folder, 0555);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(255);
        }
        ::_exit(action());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ::chmod(folder, 0755);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs `action` in a child process that is killed (SIGKILL) right after its `change`-th change on
// disk (a file put in place or removed, see setFileChangeHook), as a crash or a power cut there
// would stop it. True when the child was killed there; false when the action ended first.
inline bool runKilledAfterChange(int change, const std::function<void()>& action)
{
    const pid_t child = ::fork();
    if (child == 0) {
        int changes = 0;
        kx::platform::setFileChangeHook([&](const std::string&) {
            if (++changes == change) {
                ::raise(SIGKILL);
            }
        });
        action();
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

} // namespace kx::test
