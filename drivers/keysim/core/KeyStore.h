// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "KeyRecord.h"
#include "Util.h"

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The folder that holds all virtual keys, the keysim bus and each key's objects.
//
//   <root>/.store.lock            lock for assigning key numbers
//   <root>/next-number            next key number (slot id) to assign
//   <root>/keys/<SERIAL>/key.conf the key's properties (KeyRecord)
//   <root>/keys/<SERIAL>/lock     flock() lock taken for every read-modify-write of the key
//   <root>/keys/<SERIAL>/objects/<id>.obj   one PKCS#11 token object per file
//   <root>/keys/<SERIAL>/finger   finger presented to the sensor, consumed by the next read
//   <root>/bus/<interface path>   present while the key is plugged (see keysim_ext.h)
namespace keysim {

// Exclusive flock() on a lock file, held for the object's lifetime. Note that two FileLocks on the
// same file in one process exclude each other too, so a holder must not take it again.
class FileLock
{
public:
    explicit FileLock(const std::filesystem::path& path);
    ~FileLock();
    FileLock(FileLock&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    FileLock& operator=(FileLock&&) = delete;

private:
    int m_fd = -1;
};

// Attribute type -> value bytes, exactly as a PKCS#11 caller handed them in.
using Attributes = std::map<unsigned long, Bytes>;

struct BusEntry
{
    std::string fileName;
    std::string serial;
    std::uint32_t number = 0;
    std::int64_t pluggedMs = 0;
    std::string plugId; // random per plug, so a pull and re-plug is never mistaken for the same plug
};

class KeyStore
{
public:
    explicit KeyStore(std::filesystem::path root);
    // $KX2700_KEYSIM_DIR, else $XDG_DATA_HOME/kx2700-keysim, else ~/.local/share/kx2700-keysim.
    static std::filesystem::path defaultRoot();

    const std::filesystem::path& root() const { return m_root; }
    std::filesystem::path busDir() const { return m_root / "bus"; }
    std::filesystem::path keyDir(const std::string& serial) const { return m_root / "keys" / serial; }

    // Serials are 1 to 32 characters of letters, digits, "-", "_" and ".", not starting with ".".
    static bool validSerial(const std::string& serial);
    static std::string busFileName(std::uint16_t vid, std::uint16_t pid, const std::string& serial);

    std::vector<std::string> serials() const;
    bool exists(const std::string& serial) const;
    // nullopt for a missing or damaged key.conf.
    std::optional<KeyRecord> tryLoad(const std::string& serial) const;
    KeyRecord load(const std::string& serial) const; // throws std::runtime_error when missing
    void save(const KeyRecord& rec) const;           // the caller holds lockKey(rec.serial)
    FileLock lockKey(const std::string& serial) const;

    // Creates the key folder; assigns rec.number and, when rec.serial is empty, a serial.
    // Throws std::runtime_error when a key with that serial exists.
    KeyRecord create(KeyRecord rec);
    void remove(const std::string& serial);

    void plug(const std::string& serial);
    void pull(const std::string& serial);
    std::vector<BusEntry> bus() const;
    std::optional<BusEntry> busEntry(const std::string& serial) const;

    std::vector<std::uint64_t> objectIds(const std::string& serial) const;
    std::optional<Attributes> loadObject(const std::string& serial, std::uint64_t id) const;
    // The same object without a copy; it stays valid while held, whatever happens to the file.
    std::shared_ptr<const Attributes> sharedObject(const std::string& serial, std::uint64_t id) const;
    void saveObject(const std::string& serial, std::uint64_t id, const Attributes& attrs) const;
    void removeObject(const std::string& serial, std::uint64_t id) const;
    std::uint64_t usedMemory(const std::string& serial) const;
    static std::uint64_t objectSize(const Attributes& attrs);
    // An object file holds "KXOBJ 1", then one "<type in hex>:<value in hex>" line per attribute.
    static constexpr std::size_t kMaxObjectFileSize = 8u << 20;
    static std::optional<Attributes> parseObjectText(const std::string& text);
    static std::string objectText(const Attributes& attrs);
    static std::uint32_t freeMemory(const KeyRecord& rec, std::uint64_t used);

    // Sensor: finger 0 means "no finger placed"; takeFinger consumes the presented finger.
    void presentFinger(const std::string& serial, int finger) const;
    std::optional<int> takeFinger(const std::string& serial) const;

private:
    void ensureDirs() const;
    // Reads and parses one object file, without the cache.
    static std::optional<Attributes> parseObjectFile(const std::filesystem::path& path);
    std::filesystem::path m_root;
};

} // namespace keysim
