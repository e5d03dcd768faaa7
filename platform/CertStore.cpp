// SPDX-License-Identifier: Apache-2.0
#include "CertStore.h"

#include "FileUtil.h"
#include "IniDocument.h"
#include "TextEncoding.h"

#include <openssl/sha.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <memory>
#include <unistd.h>

namespace kx::platform {

namespace {

constexpr std::string_view kCertSuffix = ".cer";
constexpr std::string_view kKeyProvSuffix = ".keyprov";
constexpr std::string_view kKeyProvSection = "KeyProvInfo";
// Marks a key-provider file whose names are written with escapeBytes; files without it hold the
// names as they are.
constexpr std::string_view kEscapedKey = "Escaped";
// A certificate is far smaller; anything larger in a store folder is not ours.
constexpr std::size_t kMaxCertificateFile = 1024 * 1024;

bool validThumbprint(std::string_view text)
{
    return text.size() == 40 && std::all_of(text.begin(), text.end(),
                                            [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

struct DirCloser
{
    void operator()(DIR* dir) const { ::closedir(dir); }
};

std::optional<KeyProvInfo> readKeyProv(const std::string& path)
{
    // Names are bytes: the lines are taken as stored, never transcoded.
    std::string bytes;
    if (readWholeFile(path, bytes, IniDocument::kMaxFileSize) != ReadStatus::Ok) {
        return std::nullopt;
    }
    return parseKeyProv(bytes);
}

// Whether the file holds exactly `bytes`: a certificate's name is the digest of its bytes, so one
// that reads back whole needs no rewrite.
bool holdsBytes(const std::string& path, std::string_view bytes)
{
    std::string stored;
    return readWholeFile(path, stored, kMaxCertificateFile) == ReadStatus::Ok && stored == bytes;
}

bool isStoreFileName(std::string_view name)
{
    return name.size() > 40 && validThumbprint(name.substr(0, 40)) &&
           (name.substr(40) == kCertSuffix || name.substr(40) == kKeyProvSuffix);
}

} // namespace

std::optional<KeyProvInfo> parseKeyProv(std::string_view bytes)
{
    IniDocument document;
    document.parse(bytes, IniDocument::Decoding::Bytes);
    if (!document.hasSection(kKeyProvSection)) {
        return std::nullopt;
    }
    const bool escaped = document.readInteger(kKeyProvSection, kEscapedKey, 0) == 1;
    const auto name = [&](std::string_view key) {
        const std::string text = document.readString(kKeyProvSection, key, "");
        return escaped ? unescapeBytes(text) : text;
    };
    KeyProvInfo info;
    info.container = name("Container");
    info.provider = name("Provider");
    info.keySpec = document.readInteger(kKeyProvSection, "KeySpec", 0);
    return info;
}

std::string keyProvText(const KeyProvInfo& keyProv)
{
    // Escaped names hold no line breaks, NUL or other control characters, so every value is one
    // that an INI line can carry.
    IniDocument document;
    document.setValue(kKeyProvSection, "Container", escapeBytes(keyProv.container));
    document.setValue(kKeyProvSection, "Provider", escapeBytes(keyProv.provider));
    document.setValue(kKeyProvSection, "KeySpec", std::to_string(keyProv.keySpec));
    document.setValue(kKeyProvSection, kEscapedKey, "1");
    return document.serialize();
}

CertStore::CertStore(std::string root) : m_root(std::move(root))
{
    while (m_root.size() > 1 && m_root.back() == '/') {
        m_root.pop_back();
    }
}

std::string CertStore::defaultRoot()
{
    const char* xdg = std::getenv("XDG_DATA_HOME");
    std::string base;
    if (xdg && *xdg == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home ? home : "") + "/.local/share";
    }
    return base + "/kx2700/certstore";
}

bool CertStore::validStoreName(std::string_view store)
{
    return store == "MY" || store == "ROOT" || store == "CA";
}

std::string CertStore::thumbprintOf(std::span<const std::uint8_t> der)
{
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(der.data(), der.size(), digest);
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (const unsigned char b : digest) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0F]);
    }
    return text;
}

std::string CertStore::storeFolder(std::string_view store) const
{
    return m_root + "/" + std::string(store);
}

int CertStore::add(std::string_view store, std::span<const std::uint8_t> der, const std::optional<KeyProvInfo>& keyProv)
{
    if (!validStoreName(store) || der.empty() || der.size() > kMaxCertificateFile) {
        return EINVAL;
    }
    const std::string folder = storeFolder(store);
    if (!makePath(folder, 0700)) {
        return errno != 0 ? errno : EIO;
    }
    const FileLock lock(folder);
    if (lock.locked()) {
        sweep(folder);
    }
    const std::string base = folder + "/" + thumbprintOf(der);
    const std::string certPath = base + std::string(kCertSuffix);
    const std::string keyProvPath = base + std::string(kKeyProvSuffix);
    const std::string_view bytes(reinterpret_cast<const char*>(der.data()), der.size());
    const auto failure = [](int fallback) { return errno != 0 ? errno : fallback; };

    errno = 0;
    if (!keyProv) {
        // The binding goes before the certificate is written, so no point of the addition shows
        // the certificate bound to a key it no longer names.
        if (!removeFile(keyProvPath)) {
            return failure(EIO);
        }
        return holdsBytes(certPath, bytes) || writeFileAtomic(certPath, bytes, 0644) ? 0 : failure(EIO);
    }

    // The properties go first and the certificate second: a certificate is never seen without
    // them, and properties whose certificate did not follow are swept by the next write.
    std::string oldKeyProv;
    const bool hadKeyProv = readWholeFile(keyProvPath, oldKeyProv, IniDocument::kMaxFileSize) == ReadStatus::Ok;
    errno = 0;
    if (!writeFileAtomic(keyProvPath, keyProvText(*keyProv), 0600)) {
        return failure(EINVAL);
    }
    errno = 0;
    if (holdsBytes(certPath, bytes) || writeFileAtomic(certPath, bytes, 0644)) {
        return 0;
    }
    const int error = failure(EIO);
    // The store is left as it was: a new certificate goes with its properties, one that was there
    // keeps its old ones.
    if (hadKeyProv) {
        writeFileAtomic(keyProvPath, oldKeyProv, 0600);
    } else {
        removeFile(keyProvPath);
    }
    return error;
}

std::vector<StoredCertificate> CertStore::list(std::string_view store) const
{
    std::vector<StoredCertificate> certificates;
    if (!validStoreName(store)) {
        return certificates;
    }
    const std::string folder = storeFolder(store);
    const FileLock lock(folder, FileLock::Mode::Shared);
    const std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
    if (!dir) {
        return certificates;
    }
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view name(entry->d_name);
        if (name.size() != 40 + kCertSuffix.size() || !name.ends_with(kCertSuffix)) {
            continue;
        }
        const std::string_view thumbprint = name.substr(0, 40);
        if (!validThumbprint(thumbprint)) {
            continue;
        }
        const std::string base = folder + "/" + std::string(thumbprint);
        std::string bytes;
        if (readWholeFile(base + std::string(kCertSuffix), bytes, kMaxCertificateFile) != ReadStatus::Ok ||
            bytes.empty()) {
            continue;
        }
        StoredCertificate certificate;
        certificate.thumbprint = std::string(thumbprint);
        certificate.der.assign(bytes.begin(), bytes.end());
        certificate.keyProv = readKeyProv(base + std::string(kKeyProvSuffix));
        certificates.push_back(std::move(certificate));
    }
    std::sort(certificates.begin(), certificates.end(),
              [](const StoredCertificate& a, const StoredCertificate& b) { return a.thumbprint < b.thumbprint; });
    return certificates;
}

int CertStore::remove(std::string_view store, std::string_view thumbprint)
{
    if (!validStoreName(store) || !validThumbprint(thumbprint)) {
        return 1;
    }
    const std::string folder = storeFolder(store);
    const FileLock lock(folder);
    if (lock.locked()) {
        sweep(folder);
    }
    // The certificate goes first: properties left by a removal that stopped half-way are never
    // listed and are swept by the next write.
    const std::string base = folder + "/" + std::string(thumbprint);
    const bool certGone = removeFile(base + std::string(kCertSuffix));
    const bool propsGone = certGone && removeFile(base + std::string(kKeyProvSuffix));
    return certGone && propsGone ? 0 : 1;
}

void CertStore::sweep(const std::string& folder)
{
    removeStaleTemporaries(folder, isStoreFileName);
    const std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
    if (!dir) {
        return;
    }
    std::vector<std::string> orphans;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view name(entry->d_name);
        if (name.size() != 40 + kKeyProvSuffix.size() || !name.ends_with(kKeyProvSuffix) ||
            !validThumbprint(name.substr(0, 40))) {
            continue;
        }
        const std::string base = folder + "/" + std::string(name.substr(0, 40));
        if (!fileExists(base + std::string(kCertSuffix))) {
            orphans.push_back(base + std::string(kKeyProvSuffix));
        }
    }
    for (const std::string& orphan : orphans) {
        removeFile(orphan);
    }
}

} // namespace kx::platform
