// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "CertDecode.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace drevmor {

// A parsed certificate file kept until the next parse of its kind.
struct HeldFile
{
    std::vector<X509Ptr> certs; // for PKCS#12: the private key's certificate first, then the chain
    EvpKeyPtr key;              // PKCS#12 only: the private key belonging to certs[0]
    bool keyReleased = false;   // PKCS#12 only: the key was written to a key and let go
};

// The PKCS#12 and PKCS#7 files last parsed (one of each). The PKCS#12 password serves the parse
// only and is not kept; the private key is let go once it has been written (keyWritten).
class CertFiles
{
public:
    CertFiles() = default;
    CertFiles(const CertFiles&) = delete;
    CertFiles& operator=(const CertFiles&) = delete;

    int parsePkcs12(const char* path, const char* password, int* count);
    int parsePkcs7(const char* path, int* count);
    // The same over a file's bytes (at most kMaxCertificateFileSize).
    int parsePkcs12Bytes(std::span<const std::uint8_t> bytes, const char* password, int* count);
    int parsePkcs7Bytes(std::span<const std::uint8_t> bytes, int* count);
    // Describes certificate `index` (names UTF-8, 257 bytes each).
    int certInfo(bool pkcs12, int index, char* subject, char* issuer, int* certType) const;
    // Certificate `index` of the held file, or null when none is held or the index is outside.
    X509* cert(bool pkcs12, int index) const;
    // The private key that goes with PKCS#12 certificate `index` (only index 0 has one).
    EVP_PKEY* key(int index) const { return index == 0 ? m_pkcs12.key.get() : nullptr; }
    // True when PKCS#12 certificate `index` can no longer be imported whole: its key is gone.
    bool keyReleased(int index) const { return index == 0 && m_pkcs12.keyReleased; }
    // Lets the private key go after it was written, when it is still the one held.
    void keyWritten(EVP_PKEY* written);
    void clear();

private:
    HeldFile m_pkcs12;
    HeldFile m_pkcs7;
};

} // namespace drevmor
