// SPDX-License-Identifier: Apache-2.0
#include "FileUtil.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kx::platform {

namespace {

// Closes a file descriptor when it goes out of scope.
class FdGuard
{
public:
    explicit FdGuard(int fd) : m_fd(fd) {}
    ~FdGuard()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    int get() const { return m_fd; }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};

std::string folderOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    if (slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}

bool writeAll(int fd, std::string_view data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

ReadStatus readWholeFile(const std::string& path, std::string& out, std::size_t limit)
{
    const int raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (raw < 0) {
        return errno == ENOENT || errno == ENOTDIR ? ReadStatus::Missing : ReadStatus::Failed;
    }
    FdGuard fd(raw);
    struct stat st
    {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return ReadStatus::Failed;
    }
    if (static_cast<unsigned long long>(st.st_size) > limit) {
        return ReadStatus::TooLarge;
    }
    std::string data;
    data.reserve(static_cast<std::size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof(buffer));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return ReadStatus::Failed;
        }
        if (n == 0) {
            break;
        }
        if (data.size() + static_cast<std::size_t>(n) > limit) {
            return ReadStatus::TooLarge; // the file grew while it was read
        }
        data.append(buffer, static_cast<std::size_t>(n));
    }
    out = std::move(data);
    return ReadStatus::Ok;
}

bool writeFileAtomic(const std::string& path, std::string_view data, unsigned newFileMode)
{
    const std::string folder = folderOf(path);
    std::string tempPath = path + ".tmp.XXXXXX";
    const int raw = ::mkstemp(tempPath.data());
    if (raw < 0) {
        return false;
    }
    FdGuard fd(raw);
    bool ok = true;
    struct stat existing
    {};
    if (::stat(path.c_str(), &existing) == 0) {
        ok = ::fchmod(fd.get(), existing.st_mode & 07777) == 0;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ok = ::fchmod(fd.get(), static_cast<mode_t>(newFileMode) & ~mask) == 0;
    }
    ok = ok && writeAll(fd.get(), data) && ::fsync(fd.get()) == 0;
    const int closeResult = ::close(fd.release());
    ok = ok && closeResult == 0 && ::rename(tempPath.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(tempPath.c_str());
        return false;
    }
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd); // make the rename itself durable
        ::close(dirFd);
    }
    return true;
}

bool makePath(const std::string& path, unsigned mode)
{
    if (path.empty()) {
        return false;
    }
    std::string current;
    std::size_t pos = 0;
    while (pos <= path.size()) {
        const std::size_t next = path.find('/', pos);
        const std::size_t end = next == std::string::npos ? path.size() : next;
        current = path.substr(0, end);
        if (!current.empty() && ::mkdir(current.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) {
            return false;
        }
        if (next == std::string::npos) {
            break;
        }
        pos = next + 1;
    }
    return folderExists(path);
}

bool fileExists(const std::string& path)
{
    struct stat st
    {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool folderExists(const std::string& path)
{
    struct stat st
    {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string lockPathFor(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return "." + path + ".lock";
    }
    return path.substr(0, slash + 1) + "." + path.substr(slash + 1) + ".lock";
}

FileLock::FileLock(const std::string& lockPath)
{
    m_fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        return;
    }
    while (::flock(m_fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            ::close(m_fd);
            m_fd = -1;
            return;
        }
    }
}

FileLock::~FileLock()
{
    if (m_fd >= 0) {
        ::flock(m_fd, LOCK_UN);
        ::close(m_fd);
    }
}

} // namespace kx::platform
