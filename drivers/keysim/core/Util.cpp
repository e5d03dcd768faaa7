// SPDX-License-Identifier: Apache-2.0
#include "Util.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace keysim {

std::string toHex(const std::uint8_t* data, std::size_t len, bool upper)
{
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out;
    out.reserve(len * 2);
    for (std::size_t i = 0; i < len; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 0x0f]);
    }
    return out;
}

static int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<Bytes> fromHex(std::string_view hex)
{
    if (hex.size() % 2 != 0)
        return std::nullopt;
    Bytes out;
    out.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        int hi = hexValue(hex[i]);
        int lo = hexValue(hex[i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
    }
    return out;
}

namespace {
struct Fd
{
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};
} // namespace

std::optional<std::string> readFile(const std::filesystem::path& path, std::size_t maxBytes)
{
    Fd f{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (f.fd < 0)
        return std::nullopt;
    std::string out;
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(f.fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (n == 0)
            break;
        if (out.size() + static_cast<std::size_t>(n) > maxBytes)
            return std::nullopt;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

void writeFileAtomic(const std::filesystem::path& path, std::string_view content)
{
    const auto dir = path.parent_path();
    std::string tmpl = (dir / (".tmp-" + path.filename().string() + ".XXXXXX")).string();
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    Fd f{::mkstemp(name.data())};
    if (f.fd < 0)
        throw std::system_error(errno, std::generic_category(), "create temporary file in " + dir.string());
    const char* p = content.data();
    std::size_t left = content.size();
    while (left > 0) {
        ssize_t n = ::write(f.fd, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            int e = errno;
            ::unlink(name.data());
            throw std::system_error(e, std::generic_category(), "write " + path.string());
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    ::fchmod(f.fd, 0600);
    if (::fsync(f.fd) != 0 || ::rename(name.data(), path.c_str()) != 0) {
        int e = errno;
        ::unlink(name.data());
        throw std::system_error(e, std::generic_category(), "replace " + path.string());
    }
    Fd d{::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (d.fd >= 0)
        ::fsync(d.fd);
}

Bytes randomBytes(std::size_t n)
{
    Bytes out(n);
    if (n > 0 && RAND_bytes(out.data(), static_cast<int>(n)) != 1)
        throw std::runtime_error("random generator failed");
    return out;
}

std::int64_t nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

long envMs(const char* name, long fallback)
{
    const char* v = std::getenv(name);
    if (!v || !*v)
        return fallback;
    char* end = nullptr;
    long n = std::strtol(v, &end, 10);
    if (*end != '\0' || n < 0)
        return fallback;
    return n;
}

SecretBytes::~SecretBytes()
{
    // Also the bytes past the end that a shrinking resize left behind.
    m_value.resize(m_value.capacity());
    if (!m_value.empty())
        OPENSSL_cleanse(m_value.data(), m_value.size());
}

SecretString::~SecretString()
{
    if (!m_value.empty())
        OPENSSL_cleanse(m_value.data(), m_value.size());
}

} // namespace keysim
