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
// went in. Every write is atomic and made under a lock on the store folder, which readers share.
// A certificate and its properties change in an order that keeps them a pair at every point a
// process may die: an addition writes the properties first and the certificate second (one
// without properties loses its old ones first), a removal takes the certificate first and the
// properties second. Properties without their certificate are never listed, and every write to a
// store sweeps them away, with the temporary files of writes that died.
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
    // certificate is bound to that key, without it any binding is removed. A failed addition
    // leaves the certificate and its properties as they were. 0 on success, EINVAL
    // when the store name is unknown or the bytes are empty or too large, otherwise the errno of
    // the write that failed (ENOSPC, EACCES, ...).
    int add(std::string_view store, std::span<const std::uint8_t> der, const std::optional<KeyProvInfo>& keyProv);
    // Every certificate of the store (empty for an unknown or missing store), in thumbprint order.
    std::vector<StoredCertificate> list(std::string_view store) const;
    // Removes one certificate and its properties; 0 when it is gone afterwards.
    int remove(std::string_view store, std::string_view thumbprint);

private:
    std::string storeFolder(std::string_view store) const;
    // Removes what writes that died left in a store folder: temporary files and properties whose
    // certificate is not there. Called with the folder's lock held.
    static void sweep(const std::string& folder);
    std::string m_root;
};

} // namespace kx::platform
