// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Small helpers of the key store: hex text, whole-file reads, crash-safe writes, randomness, time.
namespace keysim {

using Bytes = std::vector<std::uint8_t>;

std::string toHex(const std::uint8_t* data, std::size_t len, bool upper = false);
inline std::string toHex(const Bytes& b, bool upper = false)
{
    return toHex(b.data(), b.size(), upper);
}
// Decodes hex text; nullopt when the text has an odd length or a non-hex character.
std::optional<Bytes> fromHex(std::string_view hex);

// Reads a whole file; nullopt when it cannot be opened. Files larger than maxBytes are refused.
std::optional<std::string> readFile(const std::filesystem::path& path, std::size_t maxBytes = 16u << 20);

// Writes a file so that readers see either the old or the new content, never a mix: a temporary
// file in the same folder (name starting with ".tmp-"), fsync, rename, fsync of the folder.
void writeFileAtomic(const std::filesystem::path& path, std::string_view content);

Bytes randomBytes(std::size_t n);

// Wall-clock milliseconds since the epoch (shared between processes through files).
std::int64_t nowMs();

// Milliseconds from an environment variable, or the fallback when unset or not a number.
long envMs(const char* name, long fallback);

// Text holding a PIN or code: its bytes are wiped (OPENSSL_cleanse) when it goes.
class SecretString
{
public:
    SecretString() = default;
    SecretString(const char* data, std::size_t len) : m_value(data, len) {}
    ~SecretString();
    SecretString(const SecretString&) = delete;
    SecretString& operator=(const SecretString&) = delete;
    const std::string& str() const { return m_value; }
    std::string_view view() const { return m_value; }

private:
    std::string m_value;
};

// Bytes of a secret (a decrypted message, a shared secret): wiped (OPENSSL_cleanse) when they go.
class SecretBytes
{
public:
    SecretBytes() = default;
    ~SecretBytes();
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    Bytes& bytes() { return m_value; }
    const Bytes& bytes() const { return m_value; }

private:
    Bytes m_value;
};

} // namespace keysim
