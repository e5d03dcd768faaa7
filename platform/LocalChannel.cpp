// SPDX-License-Identifier: Apache-2.0
#include "LocalChannel.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace kx::platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kAck = 'A';

bool fillAddress(const std::string& path, sockaddr_un& address)
{
    std::memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path)) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

int remainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool waitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const int rc = ::poll(&p, 1, remainingMs(deadline));
        if (rc > 0) {
            return (p.revents & (events | POLLHUP | POLLERR)) != 0 && (p.revents & events) != 0;
        }
        if (rc == 0 || errno != EINTR) {
            return false;
        }
    }
}

bool readExactly(int fd, char* out, std::size_t size, Clock::time_point deadline)
{
    std::size_t done = 0;
    while (done < size) {
        if (!waitFor(fd, POLLIN, deadline)) {
            return false;
        }
        const ssize_t n = ::recv(fd, out + done, size - done, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool writeExactly(int fd, const char* data, std::size_t size, Clock::time_point deadline)
{
    std::size_t done = 0;
    while (done < size) {
        if (!waitFor(fd, POLLOUT, deadline)) {
            return false;
        }
        const ssize_t n = ::send(fd, data + done, size - done, MSG_NOSIGNAL);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool peerIsThisUser(int fd)
{
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0 && credentials.uid == ::getuid();
}

// Connects to `path` within the deadline; -1 when nobody listens there.
int connectTo(const std::string& path, Clock::time_point deadline)
{
    sockaddr_un address{};
    if (!fillAddress(path, address)) {
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return -1;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        if (errno != EINPROGRESS && errno != EAGAIN) {
            ::close(fd);
            return -1;
        }
        int error = 0;
        socklen_t length = sizeof(error);
        if (!waitFor(fd, POLLOUT, deadline) || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 ||
            error != 0) {
            ::close(fd);
            return -1;
        }
    }
    return fd;
}

} // namespace

std::string channelFolder()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string folder =
        runtime && *runtime == '/' ? std::string(runtime) + "/kx2700" : "/tmp/kx2700-" + std::to_string(::getuid());
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return {};
    }
    struct stat st
    {};
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 077) != 0) {
        return {};
    }
    return folder;
}

ChannelListener::ChannelListener(std::string path) : m_path(std::move(path))
{
    sockaddr_un address{};
    if (!fillAddress(m_path, address)) {
        return;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        if (errno != EADDRINUSE) {
            ::close(fd);
            return;
        }
        // Someone answering there keeps the name; a socket file nobody answers on is left over
        // from a process that died.
        const int probe = connectTo(m_path, Clock::now() + std::chrono::milliseconds(500));
        if (probe >= 0) {
            ::close(probe);
            ::close(fd);
            return;
        }
        ::unlink(m_path.c_str());
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
            ::close(fd);
            return;
        }
    }
    if (::listen(fd, 16) != 0) {
        ::close(fd);
        ::unlink(m_path.c_str());
        return;
    }
    m_fd = fd;
}

ChannelListener::~ChannelListener()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        ::unlink(m_path.c_str());
    }
}

std::unique_ptr<ChannelConnection> ChannelListener::accept()
{
    while (m_fd >= 0) {
        const int client = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            return nullptr; // EAGAIN: nobody waits
        }
        if (peerIsThisUser(client)) {
            return std::make_unique<ChannelConnection>(client);
        }
        ::close(client);
    }
    return nullptr;
}

ChannelConnection::ChannelConnection(int fd) : m_fd(fd) {}

ChannelConnection::~ChannelConnection()
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

ChannelConnection::Progress ChannelConnection::readAvailable()
{
    for (;;) {
        // Never more than the rest of the header or of the payload, so the buffer stays bounded.
        char chunk[4096];
        const std::size_t wanted = m_reader.wanted();
        if (wanted == 0) {
            return m_reader.progress() == FrameReader::Progress::Complete ? Progress::Complete : Progress::Failed;
        }
        const ssize_t n = ::recv(m_fd, chunk, std::min(wanted, sizeof chunk), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return Progress::Incomplete;
        }
        if (n <= 0) {
            return Progress::Failed;
        }
        std::size_t taken = 0;
        m_reader.feed(std::string_view(chunk, static_cast<std::size_t>(n)), taken);
    }
}

void ChannelConnection::acknowledge()
{
    // The socket's send buffer is empty, so the one byte goes out at once.
    writeExactly(m_fd, &kAck, 1, Clock::now() + std::chrono::milliseconds(100));
    ::close(m_fd);
    m_fd = -1;
}

bool sendFrame(const std::string& path, char kind, std::string_view payload, std::chrono::milliseconds timeout)
{
    if (payload.size() > kMaxFramePayload) {
        return false;
    }
    const auto deadline = Clock::now() + timeout;
    const int fd = connectTo(path, deadline);
    if (fd < 0) {
        return false;
    }
    bool acknowledged = false;
    if (peerIsThisUser(fd)) {
        const std::string frame = encodeFrame(kind, payload);
        char reply = 0;
        acknowledged = writeExactly(fd, frame.data(), frame.size(), deadline) && readExactly(fd, &reply, 1, deadline) &&
                       reply == kAck;
    }
    ::close(fd);
    return acknowledged;
}

InstanceLock::InstanceLock(const std::string& path)
{
    m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m_fd < 0) {
        return;
    }
    while (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) {
            return;
        }
    }
    m_locked = true;
}

InstanceLock::~InstanceLock()
{
    if (m_fd >= 0) {
        ::close(m_fd); // releases the lock
    }
}

} // namespace kx::platform
