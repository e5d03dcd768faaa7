// SPDX-License-Identifier: Apache-2.0
#include "FileUtil.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

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

std::string baseNameOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

constexpr std::string_view kTemporaryInfix = ".tmp.";
constexpr std::size_t kTemporaryRandomLength = 6; // the XXXXXX of mkstemp

// The target name of a temporary file of writeFileAtomic, or nothing for any other name.
std::optional<std::string_view> temporaryTarget(std::string_view name)
{
    const std::size_t suffix = kTemporaryInfix.size() + kTemporaryRandomLength;
    if (name.size() <= suffix || name.substr(name.size() - suffix, kTemporaryInfix.size()) != kTemporaryInfix) {
        return std::nullopt;
    }
    for (const char c : name.substr(name.size() - kTemporaryRandomLength)) {
        if (!std::isalnum(static_cast<unsigned char>(c))) {
            return std::nullopt;
        }
    }
    return name.substr(0, name.size() - suffix);
}

// Keeps errno across clean-up calls that may change it.
class ErrnoKeeper
{
public:
    ErrnoKeeper() : m_errno(errno) {}
    ~ErrnoKeeper() { errno = m_errno; }
    ErrnoKeeper(const ErrnoKeeper&) = delete;
    ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;

private:
    int m_errno;
};

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

FileChangeHook& fileChangeHook()
{
    static FileChangeHook hook;
    return hook;
}

void changed(const std::string& path)
{
    if (const FileChangeHook& hook = fileChangeHook()) {
        hook(path);
    }
}

} // namespace

void setFileChangeHook(FileChangeHook hook)
{
    fileChangeHook() = std::move(hook);
}

bool removeFile(const std::string& path)
{
    if (::unlink(path.c_str()) == 0) {
        changed(path);
        return true;
    }
    return errno == ENOENT;
}

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

std::string resolveWriteTarget(const std::string& path)
{
    constexpr int kMaxLinks = 40; // as the kernel allows when it follows links
    std::string current = path;
    for (int hop = 0; hop < kMaxLinks; ++hop) {
        struct stat st
        {};
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return current;
        }
        std::string target(PATH_MAX, '\0');
        const ssize_t length = ::readlink(current.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
            return path;
        }
        target.resize(static_cast<std::size_t>(length));
        current = target.front() == '/' ? target : folderOf(current) + "/" + target;
    }
    return path;
}

void removeStaleTemporaries(const std::string& folder, const std::function<bool(std::string_view)>& isTarget,
                            int minimumAgeSeconds)
{
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) {
        return;
    }
    const std::time_t now = std::time(nullptr);
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name(entry->d_name);
        const auto target = temporaryTarget(name);
        if (!target || !isTarget(*target)) {
            continue;
        }
        const std::string path = folder + "/" + std::string(name);
        FdGuard fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st
        {};
        if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
            now - st.st_mtime < minimumAgeSeconds) {
            continue;
        }
        // A writer holds its temporary file locked until the rename; a free lock means the writer
        // is gone.
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
            ::unlink(path.c_str());
        }
    }
    ::closedir(dir);
}

bool writeFileAtomic(const std::string& path, std::string_view data, unsigned newFileMode)
{
    const std::string target = resolveWriteTarget(path);
    const std::string folder = folderOf(target);
    const std::string name = baseNameOf(target);
    removeStaleTemporaries(folder, [&](std::string_view t) { return t == name; });

    std::string tempPath = target + std::string(kTemporaryInfix) + std::string(kTemporaryRandomLength, 'X');
    FdGuard fd(::mkstemp(tempPath.data()));
    if (fd.get() < 0) {
        return false;
    }
    // Held until the rename, so other writers see that this temporary file is in use.
    ::flock(fd.get(), LOCK_EX | LOCK_NB);
    bool ok = true;
    struct stat existing
    {};
    if (::stat(target.c_str(), &existing) == 0) {
        ok = ::fchmod(fd.get(), existing.st_mode & 07777) == 0;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ok = ::fchmod(fd.get(), static_cast<mode_t>(newFileMode) & ~mask) == 0;
    }
    ok = ok && writeAll(fd.get(), data) && ::fsync(fd.get()) == 0 && ::rename(tempPath.c_str(), target.c_str()) == 0;
    if (!ok) {
        const ErrnoKeeper keep;
        ::unlink(tempPath.c_str());
        return false;
    }
    ::close(fd.release()); // the bytes are on disk already: fsync told of any write error
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd); // make the rename itself durable
        ::close(dirFd);
    }
    changed(target);
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

FileLock::FileLock(const std::string& path, Mode mode)
{
    m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) {
        return;
    }
    while (::flock(m_fd, mode == Mode::Shared ? LOCK_SH : LOCK_EX) != 0) {
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
