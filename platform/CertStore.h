// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kx::platform {

// The key a personal certificate is bound to: container, provider and key specification.
struct KeyProvInfo
{
    std::string container;
    std::string provider;
    int keySpec = 0;
};

// The key-provider file of a certificate: an INI file with section [KeyProvInfo] and keys
// Container, Provider, KeySpec; names of any bytes are written escaped (escapeBytes, marked by
// Escaped=1), so they come back as they went in. Parsing gives no value without that section.
std::optional<KeyProvInfo> parseKeyProv(std::string_view bytes);
std::string keyProvText(const KeyProvInfo& keyProv);

// One certificate of a store.
struct StoredCertificate
{
    std::string thumbprint; // SHA-1 of the DER bytes, 40 upper-case hexadecimal digits
    std::vector<std::uint8_t> der;
    std::optional<KeyProvInfo> keyProv;
};

// The user's certificate stores "MY", "ROOT" and "CA": one folder per store, each certificate a
// file "<SHA-1>.cer" of its DER bytes, with beside it, for a certificate bound to a key,
// "<SHA-1>.keyprov", an INI file with section [KeyProvInfo] and keys Container, Provider,
// KeySpec. The key-provider file is UTF-8 with the bytes of container and provider names that are
// not UTF-8 escaped (escapeBytes, marked by Escaped=1), so names of any bytes come back as they
// went in. Every write is atomic and made under a lock on the store folder, which readers share;
// the certificate is written before its properties and taken back when they cannot be written,
// so an addition leaves both files or neither.
class CertStore
{
public:
    explicit CertStore(std::string root);

    // $XDG_DATA_HOME/kx2700/certstore, with ~/.local/share when XDG_DATA_HOME is not set.
    static std::string defaultRoot();
    // True for the store names "MY", "ROOT" and "CA" (exactly, in upper case).
    static bool validStoreName(std::string_view store);
    static std::string thumbprintOf(std::span<const std::uint8_t> der);

    const std::string& root() const { return m_root; }

    // Adds a certificate, or replaces the properties of one already there: with `keyProv` the
    // certificate is bound to that key, without it any binding is removed. 0 on success, EINVAL
    // when the store name is unknown or the bytes are empty or too large, otherwise the errno of
    // the write that failed (ENOSPC, EACCES, ...).
    int add(std::string_view store, std::span<const std::uint8_t> der, const std::optional<KeyProvInfo>& keyProv);
    // Every certificate of the store (empty for an unknown or missing store), in thumbprint order.
    std::vector<StoredCertificate> list(std::string_view store) const;
    // Removes one certificate and its properties; 0 when it is gone afterwards.
    int remove(std::string_view store, std::string_view thumbprint);

private:
    std::string storeFolder(std::string_view store) const;
    std::string m_root;
};

} // namespace kx::platform
