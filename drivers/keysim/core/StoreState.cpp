// SPDX-License-Identifier: Apache-2.0
#include "StoreState.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/inotify.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace keysim {
namespace {

// Every change that can alter a file's content or a folder's list, and the watched folder going.
constexpr std::uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE | IN_MODIFY |
                                     IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;

// Lock files are opened for writing by every reader-writer of a key; closing one changes nothing.
bool ignorable(const struct inotify_event* ev)
{
    if (ev->mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF))
        return false;
    if (ev->len == 0)
        return false;
    const char* name = ev->name;
    return (std::strcmp(name, "lock") == 0 || std::strcmp(name, ".store.lock") == 0) &&
           !(ev->mask & (IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO));
}

} // namespace

StoreState::~StoreState()
{
    reset();
}

void StoreState::reset()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_watched = false;
    m_root.clear();
    m_bus.reset();
    m_serials.reset();
    m_records.clear();
    m_used.clear();
}

bool StoreState::drainEvents()
{
    bool changed = false;
    alignas(struct inotify_event) char buf[16 * (sizeof(struct inotify_event) + NAME_MAX + 1)];
    for (;;) {
        const ssize_t n = ::read(m_fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return changed; // EAGAIN: nothing more
        for (ssize_t at = 0; at < n;) {
            const auto* ev = reinterpret_cast<const struct inotify_event*>(buf + at);
            if (!ignorable(ev))
                changed = true;
            at += static_cast<ssize_t>(sizeof(struct inotify_event) + ev->len);
        }
    }
}

void StoreState::watch(const fs::path& dir)
{
    if (::inotify_add_watch(m_fd, dir.c_str(), kWatchMask | IN_ONLYDIR) < 0)
        m_watched = false;
}

bool StoreState::current(const KeyStore& st)
{
    if (m_fd < 0 || m_root != st.root()) {
        reset();
        m_root = st.root();
        m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    } else if (m_watched && !drainEvents()) {
        return true;
    }
    // Changed, new, or not (yet) fully watched: forget, watch every folder, then read afresh, so
    // that a change from here on is an event for the next call.
    m_bus.reset();
    m_serials.reset();
    m_records.clear();
    m_used.clear();
    ++m_generation;
    if (m_fd < 0)
        return false;
    drainEvents();
    m_watched = true;
    watch(m_root);
    watch(m_root / "keys");
    watch(st.busDir());
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(m_root / "keys", ec)) {
        watch(e.path());
        watch(e.path() / "objects");
    }
    if (ec)
        m_watched = false;
    return m_watched;
}

std::vector<BusEntry> StoreState::bus(const KeyStore& st)
{
    if (!current(st))
        return st.bus();
    if (!m_bus)
        m_bus = st.bus();
    return *m_bus;
}

std::optional<KeyRecord> StoreState::record(const KeyStore& st, const std::string& serial)
{
    if (!current(st))
        return st.tryLoad(serial);
    auto it = m_records.find(serial);
    if (it == m_records.end())
        it = m_records.emplace(serial, st.tryLoad(serial)).first;
    return it->second;
}

std::vector<std::string> StoreState::serials(const KeyStore& st)
{
    if (!current(st))
        return st.serials();
    if (!m_serials)
        m_serials = st.serials();
    return *m_serials;
}

std::uint64_t StoreState::usedMemory(const KeyStore& st, const std::string& serial)
{
    if (!current(st))
        return st.usedMemory(serial);
    auto it = m_used.find(serial);
    if (it == m_used.end())
        it = m_used.emplace(serial, st.usedMemory(serial)).first;
    return it->second;
}

} // namespace keysim
