// SPDX-License-Identifier: Apache-2.0
#include "CertStore.h"

#include "FileUtil.h"
#include "IniDocument.h"

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
    IniDocument document;
    if (document.load(path) != IniDocument::LoadStatus::Loaded || !document.hasSection(kKeyProvSection)) {
        return std::nullopt;
    }
    KeyProvInfo info;
    info.container = document.readString(kKeyProvSection, "Container", "");
    info.provider = document.readString(kKeyProvSection, "Provider", "");
    info.keySpec = document.readInteger(kKeyProvSection, "KeySpec", 0);
    return info;
}

} // namespace

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
        return 1;
    }
    const std::string folder = storeFolder(store);
    if (!makePath(folder, 0700)) {
        return 1;
    }
    const FileLock lock(lockPathFor(folder));
    const std::string base = folder + "/" + thumbprintOf(der);
    const std::string keyProvPath = base + std::string(kKeyProvSuffix);
    if (keyProv) {
        IniDocument document;
        if (!document.setValue(kKeyProvSection, "Container", keyProv->container) ||
            !document.setValue(kKeyProvSection, "Provider", keyProv->provider) ||
            !document.setValue(kKeyProvSection, "KeySpec", std::to_string(keyProv->keySpec)) ||
            !writeFileAtomic(keyProvPath, document.serialize(), 0600)) {
            return 1;
        }
    } else if (::unlink(keyProvPath.c_str()) != 0 && errno != ENOENT) {
        return 1;
    }
    const std::string_view bytes(reinterpret_cast<const char*>(der.data()), der.size());
    return writeFileAtomic(base + std::string(kCertSuffix), bytes, 0644) ? 0 : 1;
}

std::vector<StoredCertificate> CertStore::list(std::string_view store) const
{
    std::vector<StoredCertificate> certificates;
    if (!validStoreName(store)) {
        return certificates;
    }
    const std::string folder = storeFolder(store);
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
    const FileLock lock(lockPathFor(folder));
    const std::string base = folder + "/" + std::string(thumbprint);
    const bool certGone = ::unlink((base + std::string(kCertSuffix)).c_str()) == 0 || errno == ENOENT;
    const bool propsGone = ::unlink((base + std::string(kKeyProvSuffix)).c_str()) == 0 || errno == ENOENT;
    return certGone && propsGone ? 0 : 1;
}

} // namespace kx::platform
