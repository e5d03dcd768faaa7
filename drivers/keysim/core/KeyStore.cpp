// SPDX-License-Identifier: Apache-2.0
#include "KeyStore.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <unordered_map>

namespace fs = std::filesystem;

namespace keysim {

FileLock::FileLock(const fs::path& path)
{
    m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd < 0)
        throw std::system_error(errno, std::generic_category(), "open lock " + path.string());
    while (::flock(m_fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            int e = errno;
            ::close(m_fd);
            m_fd = -1;
            throw std::system_error(e, std::generic_category(), "lock " + path.string());
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

KeyStore::KeyStore(fs::path root) : m_root(std::move(root)) {}

fs::path KeyStore::defaultRoot()
{
    if (const char* d = std::getenv("KX2700_KEYSIM_DIR"); d && *d)
        return d;
    if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x)
        return fs::path(x) / "kx2700-keysim";
    const char* home = std::getenv("HOME");
    return fs::path(home && *home ? home : "/tmp") / ".local/share/kx2700-keysim";
}

bool KeyStore::validSerial(const std::string& s)
{
    if (s.empty() || s.size() > 32 || s[0] == '.')
        return false;
    for (char c : s) {
        bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' || c == '_' ||
                  c == '.';
        if (!ok)
            return false;
    }
    return true;
}

std::string KeyStore::busFileName(std::uint16_t vid, std::uint16_t pid, const std::string& serial)
{
    char ids[32];
    std::snprintf(ids, sizeof ids, "VID_%04X&PID_%04X", vid, pid);
    return std::string("\\\\?\\USB#") + ids + "#" + serial + "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
}

void KeyStore::ensureDirs() const
{
    fs::create_directories(m_root / "keys");
    fs::create_directories(busDir());
    ::chmod(m_root.c_str(), 0700);
}

std::vector<std::string> KeyStore::serials() const
{
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(m_root / "keys", ec)) {
        std::string name = e.path().filename().string();
        if (validSerial(name) && fs::exists(e.path() / "key.conf"))
            out.push_back(name);
    }
    std::sort(out.begin(), out.end());
    return out;
}

bool KeyStore::exists(const std::string& serial) const
{
    return validSerial(serial) && fs::exists(keyDir(serial) / "key.conf");
}

std::optional<KeyRecord> KeyStore::tryLoad(const std::string& serial) const
{
    if (!validSerial(serial))
        return std::nullopt;
    auto text = readFile(keyDir(serial) / "key.conf", KeyRecord::kMaxFileSize);
    if (!text)
        return std::nullopt;
    try {
        return KeyRecord::parse(*text);
    } catch (const std::runtime_error&) {
        // A damaged key is not a key: it neither shows up nor breaks the listing of the others.
        return std::nullopt;
    }
}

KeyRecord KeyStore::load(const std::string& serial) const
{
    auto r = tryLoad(serial);
    if (!r)
        throw std::runtime_error("no key with serial " + serial);
    return *r;
}

void KeyStore::save(const KeyRecord& rec) const
{
    writeFileAtomic(keyDir(rec.serial) / "key.conf", rec.serialize());
}

FileLock KeyStore::lockKey(const std::string& serial) const
{
    if (!validSerial(serial))
        throw std::runtime_error("invalid serial");
    return FileLock(keyDir(serial) / "lock");
}

KeyRecord KeyStore::create(KeyRecord rec)
{
    ensureDirs();
    FileLock storeLock(m_root / ".store.lock");
    std::uint32_t number = 1;
    if (auto t = readFile(m_root / "next-number", 64)) {
        std::uint32_t v = 0;
        auto [p, ec] = std::from_chars(t->data(), t->data() + t->size(), v);
        if (ec == std::errc() && v > 0)
            number = v;
    }
    rec.number = number;
    if (rec.serial.empty()) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "KXSIM%08u", number);
        rec.serial = buf;
    }
    if (!validSerial(rec.serial))
        throw std::runtime_error("invalid serial number '" + rec.serial + "'");
    const fs::path dir = keyDir(rec.serial);
    if (fs::exists(dir / "key.conf"))
        throw std::runtime_error("a key with serial " + rec.serial + " exists");
    fs::create_directories(dir / "objects");
    writeFileAtomic(m_root / "next-number", std::to_string(number + 1) + "\n");
    FileLock keyLock(dir / "lock");
    save(rec);
    return rec;
}

void KeyStore::remove(const std::string& serial)
{
    if (!exists(serial))
        throw std::runtime_error("no key with serial " + serial);
    pull(serial);
    {
        FileLock l = lockKey(serial);
        fs::remove(keyDir(serial) / "key.conf");
    }
    fs::remove_all(keyDir(serial));
}

void KeyStore::plug(const std::string& serial)
{
    KeyRecord rec = load(serial);
    ensureDirs();
    pull(serial);
    std::ostringstream o;
    o << "serial=" << rec.serial << "\nnumber=" << rec.number << "\nplugged_ms=" << nowMs()
      << "\nplug_id=" << toHex(randomBytes(8)) << '\n';
    writeFileAtomic(busDir() / busFileName(rec.vid, rec.pid, rec.serial), o.str());
}

void KeyStore::pull(const std::string& serial)
{
    for (const auto& e : bus())
        if (e.serial == serial)
            fs::remove(busDir() / e.fileName);
}

std::vector<BusEntry> KeyStore::bus() const
{
    std::vector<BusEntry> out;
    std::error_code ec;
    for (const auto& d : fs::directory_iterator(busDir(), ec)) {
        std::string name = d.path().filename().string();
        if (name.empty() || name[0] == '.')
            continue;
        auto text = readFile(d.path(), 4096);
        if (!text)
            continue;
        BusEntry e;
        e.fileName = name;
        std::istringstream in(*text);
        std::string line;
        while (std::getline(in, line)) {
            auto eq = line.find('=');
            if (eq == std::string::npos)
                continue;
            std::string k = line.substr(0, eq), v = line.substr(eq + 1);
            if (k == "serial")
                e.serial = v;
            else if (k == "number")
                e.number = static_cast<std::uint32_t>(std::strtoul(v.c_str(), nullptr, 10));
            else if (k == "plugged_ms")
                e.pluggedMs = std::strtoll(v.c_str(), nullptr, 10);
            else if (k == "plug_id")
                e.plugId = v;
        }
        if (validSerial(e.serial) && e.number > 0)
            out.push_back(e);
    }
    std::sort(out.begin(), out.end(), [](const BusEntry& a, const BusEntry& b) { return a.number < b.number; });
    return out;
}

std::optional<BusEntry> KeyStore::busEntry(const std::string& serial) const
{
    for (auto& e : bus())
        if (e.serial == serial)
            return e;
    return std::nullopt;
}

std::vector<std::uint64_t> KeyStore::objectIds(const std::string& serial) const
{
    std::vector<std::uint64_t> out;
    std::error_code ec;
    for (const auto& d : fs::directory_iterator(keyDir(serial) / "objects", ec)) {
        const std::string name = d.path().filename().string();
        if (name.size() < 5 || name[0] == '.' || name.substr(name.size() - 4) != ".obj")
            continue;
        std::uint64_t id = 0;
        auto [p, e] = std::from_chars(name.data(), name.data() + name.size() - 4, id);
        if (e == std::errc() && p == name.data() + name.size() - 4)
            out.push_back(id);
    }
    std::sort(out.begin(), out.end());
    return out;
}

namespace {

// Parsed object files of this process, by path. A file is written by an atomic rename, so a
// changed object always has another inode; inode, size and modification time together tell a
// cached parse from a stale one, and every search of a session stops rereading every file.
struct CachedObject
{
    ino_t inode = 0;
    off_t size = 0;
    struct timespec modified = {};
    std::shared_ptr<const Attributes> attrs;
};

constexpr std::size_t kMaxCachedObjects = 8192;

std::mutex& objectCacheMutex()
{
    static std::mutex m;
    return m;
}

std::unordered_map<std::string, CachedObject>& objectCache()
{
    static std::unordered_map<std::string, CachedObject> cache;
    return cache;
}

bool sameFile(const CachedObject& cached, const struct stat& st)
{
    return cached.inode == st.st_ino && cached.size == st.st_size && cached.modified.tv_sec == st.st_mtim.tv_sec &&
           cached.modified.tv_nsec == st.st_mtim.tv_nsec;
}

} // namespace

std::optional<Attributes> KeyStore::loadObject(const std::string& serial, std::uint64_t id) const
{
    auto shared = sharedObject(serial, id);
    if (!shared)
        return std::nullopt;
    return *shared;
}

std::shared_ptr<const Attributes> KeyStore::sharedObject(const std::string& serial, std::uint64_t id) const
{
    const fs::path path = keyDir(serial) / "objects" / (std::to_string(id) + ".obj");
    struct stat st = {};
    if (::stat(path.c_str(), &st) != 0) {
        const std::lock_guard<std::mutex> lock(objectCacheMutex());
        objectCache().erase(path.string());
        return nullptr;
    }
    {
        const std::lock_guard<std::mutex> lock(objectCacheMutex());
        if (auto it = objectCache().find(path.string()); it != objectCache().end() && sameFile(it->second, st))
            return it->second.attrs;
    }
    auto parsed = parseObjectFile(path);
    if (!parsed)
        return nullptr;
    auto shared = std::make_shared<const Attributes>(std::move(*parsed));
    const std::lock_guard<std::mutex> lock(objectCacheMutex());
    if (objectCache().size() >= kMaxCachedObjects)
        objectCache().clear();
    objectCache()[path.string()] = CachedObject{st.st_ino, st.st_size, st.st_mtim, shared};
    return shared;
}

std::optional<Attributes> KeyStore::parseObjectFile(const std::filesystem::path& path)
{
    auto text = readFile(path, kMaxObjectFileSize);
    if (!text)
        return std::nullopt;
    return parseObjectText(*text);
}

std::optional<Attributes> KeyStore::parseObjectText(const std::string& text)
{
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != "KXOBJ 1")
        return std::nullopt;
    Attributes attrs;
    while (std::getline(in, line)) {
        auto colon = line.find(':');
        if (colon == std::string::npos)
            return std::nullopt;
        unsigned long type = std::strtoul(line.substr(0, colon).c_str(), nullptr, 16);
        auto value = fromHex(std::string_view(line).substr(colon + 1));
        if (!value)
            return std::nullopt;
        attrs[type] = std::move(*value);
    }
    return attrs;
}

std::string KeyStore::objectText(const Attributes& attrs)
{
    std::ostringstream o;
    o << "KXOBJ 1\n";
    for (const auto& [type, value] : attrs)
        o << std::hex << type << std::dec << ':' << toHex(value) << '\n';
    return o.str();
}

void KeyStore::saveObject(const std::string& serial, std::uint64_t id, const Attributes& attrs) const
{
    fs::create_directories(keyDir(serial) / "objects");
    writeFileAtomic(keyDir(serial) / "objects" / (std::to_string(id) + ".obj"), objectText(attrs));
}

void KeyStore::removeObject(const std::string& serial, std::uint64_t id) const
{
    fs::remove(keyDir(serial) / "objects" / (std::to_string(id) + ".obj"));
}

std::uint64_t KeyStore::objectSize(const Attributes& attrs)
{
    std::uint64_t size = 32;
    for (const auto& [type, value] : attrs)
        size += 8 + value.size();
    return size;
}

std::uint64_t KeyStore::usedMemory(const std::string& serial) const
{
    std::uint64_t used = 0;
    for (auto id : objectIds(serial))
        if (auto a = loadObject(serial, id))
            used += objectSize(*a);
    return used;
}

std::uint32_t KeyStore::freeMemory(const KeyRecord& rec, std::uint64_t used)
{
    std::uint64_t taken = std::uint64_t(rec.reservedMemory) + used;
    return taken >= rec.totalMemory ? 0 : static_cast<std::uint32_t>(rec.totalMemory - taken);
}

void KeyStore::presentFinger(const std::string& serial, int finger) const
{
    if (!exists(serial))
        throw std::runtime_error("no key with serial " + serial);
    writeFileAtomic(keyDir(serial) / "finger", std::to_string(finger) + "\n");
}

std::optional<int> KeyStore::takeFinger(const std::string& serial) const
{
    // Renaming first makes the read a consumption: of two readers only one gets the finger.
    const fs::path src = keyDir(serial) / "finger";
    const fs::path taken = keyDir(serial) / (".taken-" + toHex(randomBytes(6)));
    if (::rename(src.c_str(), taken.c_str()) != 0)
        return std::nullopt;
    auto text = readFile(taken, 64);
    fs::remove(taken);
    if (!text)
        return std::nullopt;
    return std::atoi(text->c_str());
}

} // namespace keysim
