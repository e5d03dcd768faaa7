// SPDX-License-Identifier: Apache-2.0
// The certificate files the token library imports: any bytes read as a PKCS#12 file (with the
// password the fixtures use) and as a PKCS#7 file either fail with a code or give certificates
// that each fit the callers' certificate buffer, that each describe themselves within the name
// buffers, and, for PKCS#12, a private key that belongs to the first certificate.
#include "FuzzCheck.h"

#include "CertFiles.h"
#include "drevmor.h"

#include <openssl/x509.h>

#include <array>
#include <cstring>
#include <span>

using kx::fuzz::check;

namespace {

constexpr auto kPassword = "kx2700";

void checkHeld(const drevmor::CertFiles& files, bool pkcs12, int count)
{
    check(count >= 0, "the count is not negative");
    for (int i = 0; i < count; ++i) {
        X509* cert = files.cert(pkcs12, i);
        check(cert != nullptr, "every counted certificate is held");
        const int length = i2d_X509(cert, nullptr);
        check(length > 0 && length <= DRV_CERT_BUFFER_SIZE, "every held certificate fits the certificate buffer");
        std::array<char, DRV_NAME_SIZE + 1> subject{};
        std::array<char, DRV_NAME_SIZE + 1> issuer{};
        subject.back() = 'G';
        issuer.back() = 'G';
        int kind = -1;
        check(files.certInfo(pkcs12, i, subject.data(), issuer.data(), &kind) == DRV_OK,
              "a held certificate describes itself");
        check(subject.back() == 'G' && issuer.back() == 'G', "names stay inside their buffers");
        check(std::memchr(subject.data(), 0, DRV_NAME_SIZE) && std::memchr(issuer.data(), 0, DRV_NAME_SIZE),
              "names end inside their buffers");
        check(kind >= 0 && kind <= 2, "the kind is end entity, root or other CA");
    }
    check(files.cert(pkcs12, count) == nullptr, "nothing is held past the count");
    if (pkcs12 && files.key(0)) {
        check(count > 0 && X509_check_private_key(files.cert(true, 0), files.key(0)) == 1,
              "the private key belongs to the first certificate");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The library reads certificate files of at most kMaxCertificateFileSize bytes.
    if (size > drevmor::kMaxCertificateFileSize) {
        return 0;
    }
    const std::span<const std::uint8_t> bytes(data, size);
    drevmor::CertFiles files;
    int count = -1;
    const int p12 = files.parsePkcs12Bytes(bytes, kPassword, &count);
    if (p12 == DRV_OK) {
        checkHeld(files, true, count);
    } else {
        check(count == 0 && files.cert(true, 0) == nullptr, "a refused PKCS#12 file leaves nothing held");
    }
    count = -1;
    const int p7 = files.parsePkcs7Bytes(bytes, &count);
    if (p7 == DRV_OK) {
        checkHeld(files, false, count);
    } else {
        check(count == 0 && files.cert(false, 0) == nullptr, "a refused PKCS#7 file leaves nothing held");
    }
    return 0;
}
