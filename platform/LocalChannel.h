// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "ChannelFrame.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kx::platform {

// Messages between the user's own processes over Unix-domain sockets in a folder only the user
// can open. A message is one frame: a kind byte, a 32-bit little-endian payload length and the
// payload; the receiver answers every frame it handled with one acknowledgement byte, so sending
// is synchronous. Peers of another user are refused, and every length is bounded.

// The folder of the user's channels: $XDG_RUNTIME_DIR/kx2700, else /tmp/kx2700-<uid>. Created
// with mode 0700 when missing; a folder that belongs to someone else or that others may open is
// refused (empty result).
std::string channelFolder();

// One connection accepted by a ChannelListener. It collects its frame from the bytes as they
// arrive and never waits for more, so a peer that connects and stays silent holds nobody up.
class ChannelConnection
{
public:
    enum class Progress
    {
        Incomplete, // more bytes are needed
        Complete,   // frame() holds the frame
        Failed      // the peer closed early, claimed too long a payload or the socket failed
    };

    explicit ChannelConnection(int fd);
    ~ChannelConnection();
    ChannelConnection(const ChannelConnection&) = delete;
    ChannelConnection& operator=(const ChannelConnection&) = delete;

    int fd() const { return m_fd; }
    // Reads what has arrived so far, without waiting.
    Progress readAvailable();
    const ChannelFrame& frame() const { return m_reader.frame(); }
    // Answers the complete frame; the connection is done afterwards.
    void acknowledge();

private:
    int m_fd = -1;
    FrameReader m_reader;
};

// A listening socket at one path. A socket file left behind by a process that died is replaced;
// one that a live process answers on is not.
class ChannelListener
{
public:
    explicit ChannelListener(std::string path);
    ~ChannelListener();
    ChannelListener(const ChannelListener&) = delete;
    ChannelListener& operator=(const ChannelListener&) = delete;

    bool listening() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    const std::string& path() const { return m_path; }

    // Takes one waiting connection of this user, without waiting; connections of other users
    // are closed unanswered. Null when no connection waits.
    std::unique_ptr<ChannelConnection> accept();

private:
    std::string m_path;
    int m_fd = -1;
};

// Sends one frame to the socket at `path` and waits for its acknowledgement, at most `timeout`
// in all. True when the receiver acknowledged it; false when nobody listens, the receiver
// belongs to another user, or it did not answer in time.
bool sendFrame(const std::string& path, char kind, std::string_view payload, std::chrono::milliseconds timeout);

// A lock on `path` held while the object lives and released by the system when the process
// ends, so a killed process never blocks the next one. Not waiting: locked() tells at once
// whether another process holds it.
class InstanceLock
{
public:
    explicit InstanceLock(const std::string& path);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // True when this process holds the lock.
    bool locked() const { return m_locked; }
    // True when the lock file could be opened at all (false: no single-instance protection).
    bool usable() const { return m_fd >= 0; }

private:
    int m_fd = -1;
    bool m_locked = false;
};

} // namespace kx::platform
