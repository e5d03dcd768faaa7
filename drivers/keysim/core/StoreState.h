// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "KeyStore.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace keysim {

// What the key store holds, kept by one process between calls: the bus entries, the key records,
// the serials and the memory each key's objects take. An inotify watch on the store's folders
// tells when any process changed something; the state is then read again, part by part as asked.
// Without inotify every question reads the folders, as KeyStore does. Not thread-safe: the
// caller serialises (the module's mutex).
class StoreState
{
public:
    StoreState() = default;
    ~StoreState();
    StoreState(const StoreState&) = delete;
    StoreState& operator=(const StoreState&) = delete;

    // Forgets everything and closes the watch (module finalise, or a child after fork).
    void reset();

    std::vector<BusEntry> bus(const KeyStore& st);
    std::optional<KeyRecord> record(const KeyStore& st, const std::string& serial);
    std::vector<std::string> serials(const KeyStore& st);
    std::uint64_t usedMemory(const KeyStore& st, const std::string& serial);

    // How often the state was read again since the last reset (for tests).
    std::uint64_t generation() const { return m_generation; }

private:
    // Drops what is kept when the store changed since the last call, or belongs to another
    // folder; true when what is kept may be used.
    bool current(const KeyStore& st);
    bool drainEvents();
    void watch(const std::filesystem::path& dir);

    int m_fd = -1;
    bool m_watched = false; // every folder of the store is watched
    std::filesystem::path m_root;
    std::uint64_t m_generation = 0;
    std::optional<std::vector<BusEntry>> m_bus;
    std::optional<std::vector<std::string>> m_serials;
    std::map<std::string, std::optional<KeyRecord>> m_records;
    std::map<std::string, std::uint64_t> m_used;
};

} // namespace keysim
