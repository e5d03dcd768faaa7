// SPDX-License-Identifier: Apache-2.0
// Starting the certificate viewer detached from the calling program.
#include "CertViewer.h"

#include "CertDecode.h"
#include "drevmor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace drevmor {
namespace {

// The viewer program as a path that exists and is executable, or empty.
std::string findProgram(const std::string& name)
{
    if (name.empty())
        return {};
    if (name.find('/') != std::string::npos)
        return access(name.c_str(), X_OK) == 0 ? name : std::string();
    const char* path = std::getenv("PATH");
    std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        // An empty entry of PATH is the current folder.
        std::string candidate = end == start ? "./" + name : dirs.substr(start, end - start) + "/" + name;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

bool writeAll(int fd, const std::uint8_t* data, size_t length)
{
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

int showCertificate(const std::uint8_t* der, size_t length)
{
    if (!decodeDer(der, length))
        return DRV_INVALID_PARAM;
    const char* configured = std::getenv("KX2700_CERT_VIEWER");
    const std::string viewer = findProgram(configured && *configured ? configured : "gcr-viewer");
    if (viewer.empty())
        return DRV_NOT_FOUND;

    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kx2700-cert-XXXXXX.crt";
    std::string file = pattern;
    int fd = mkstemps(file.data(), 4); // created 0600
    if (fd < 0)
        return DRV_FILE_ERROR;
    fchmod(fd, S_IRUSR | S_IWUSR);
    const bool written = writeAll(fd, der, length);
    close(fd);
    if (!written) {
        unlink(file.c_str());
        return DRV_FILE_ERROR;
    }

    // Everything the children need is ready before fork: after it, only async-signal-safe calls.
    char* argv[] = {const_cast<char*>(viewer.c_str()), file.data(), nullptr};
    pid_t first = fork();
    if (first < 0) {
        unlink(file.c_str());
        return DRV_GENERAL_ERROR;
    }
    if (first == 0) {
        // First child: leaves at once, so the caller can reap it; its child, the waiter, is
        // adopted by init, waits for the viewer and then removes the file.
        setsid();
        pid_t waiter = fork();
        if (waiter != 0)
            _exit(waiter < 0 ? 1 : 0);
        pid_t view = fork();
        if (view == 0) {
            close_range(3, ~0U, 0);
            execv(argv[0], argv);
            _exit(127);
        }
        if (view > 0) {
            int status = 0;
            while (waitpid(view, &status, 0) < 0 && errno == EINTR) {
            }
        }
        unlink(argv[1]);
        _exit(0);
    }
    int status = 0;
    while (waitpid(first, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        unlink(file.c_str());
        return DRV_GENERAL_ERROR;
    }
    return DRV_OK;
}

} // namespace drevmor
