// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace drevmor {

// Owners of OpenSSL objects.
struct OsslFree
{
    void operator()(X509* p) const { X509_free(p); }
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(BIO* p) const { BIO_free(p); }
    void operator()(PKCS12* p) const { PKCS12_free(p); }
    void operator()(PKCS7* p) const { PKCS7_free(p); }
    void operator()(BIGNUM* p) const { BN_clear_free(p); }
};
using X509Ptr = std::unique_ptr<X509, OsslFree>;
using EvpKeyPtr = std::unique_ptr<EVP_PKEY, OsslFree>;
using BioPtr = std::unique_ptr<BIO, OsslFree>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, OsslFree>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, OsslFree>;
using BigNumPtr = std::unique_ptr<BIGNUM, OsslFree>;

// Longest certificate we decode; longest certificate file we read.
constexpr size_t kMaxCertificateSize = 1u << 20;
constexpr size_t kMaxCertificateFileSize = 8u << 20;

// A DER certificate (all bytes must belong to it), or null.
X509Ptr decodeDer(const std::uint8_t* der, size_t length);
// A certificate from a file's bytes, DER or PEM, or null.
X509Ptr decodeDerOrPem(const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> derOf(X509* cert);
std::vector<std::uint8_t> derOf(const X509_NAME* name);
// True when the certificate's DER fits the callers' certificate buffer (DRV_CERT_BUFFER_SIZE):
// only such a certificate can be read back from a key.
bool fitsCertBuffer(X509* cert);

// The name a certificate tree shows for a distinguished name: its common name when it has one,
// otherwise the whole name in one line, most specific part first ("OU=Unit, O=Org, C=CN").
std::string displayName(const X509_NAME* name);
// 0 end entity, 1 self-signed root, 2 other CA.
int certificateKind(X509* cert);
// The serial number as upper-case hexadecimal ("0" for zero).
std::string serialHex(X509* cert);

// Copies UTF-8 into a buffer of `capacity` bytes, cut at a character boundary, terminated.
void copyUtf8(char* dst, size_t capacity, const std::string& src);
// Converts UTF-8 into UTF-16 in a buffer of `capacity` units, cut between characters, terminated.
void copyUtf16(std::uint16_t* dst, size_t capacity, const std::string& utf8);

// The whole of helper_get_cert_info2.
int decodeCertificateInfo(const unsigned char* cert, int length, std::uint16_t* subject, std::uint16_t* issuer,
                          int* certVersion, char* serial, int* notBefore, int* notAfter, int* certType);

// Reads a whole file of at most `limit` bytes; false when it cannot be read or is larger.
bool readFile(const std::string& path, std::vector<std::uint8_t>& out, size_t limit = kMaxCertificateFileSize);

} // namespace drevmor
