// SPDX-License-Identifier: Apache-2.0
// Certificate decoding with OpenSSL: names, serial, dates and the certificate kind.
#include "CertDecode.h"

#include "Sm2Keys.h"
#include "drevmor.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <ctime>
#include <fstream>

namespace drevmor {

X509Ptr decodeDer(const std::uint8_t* der, size_t length)
{
    if (!der || length == 0 || length > kMaxCertificateSize)
        return nullptr;
    const unsigned char* p = der;
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(length)));
    if (cert && p != der + length)
        return nullptr; // trailing bytes: not one DER certificate
    return cert;
}

X509Ptr decodeDerOrPem(const std::vector<std::uint8_t>& bytes)
{
    if (bytes.empty() || bytes.size() > kMaxCertificateFileSize)
        return nullptr;
    const unsigned char* p = bytes.data();
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(bytes.size())));
    if (cert)
        return cert;
    BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    if (!bio)
        return nullptr;
    return X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

std::vector<std::uint8_t> derOf(X509* cert)
{
    unsigned char* buf = nullptr;
    int n = i2d_X509(cert, &buf);
    if (n <= 0)
        return {};
    std::vector<std::uint8_t> out(buf, buf + n);
    OPENSSL_free(buf);
    return out;
}

bool fitsCertBuffer(X509* cert)
{
    const int n = i2d_X509(cert, nullptr);
    return n > 0 && n <= DRV_CERT_BUFFER_SIZE;
}

std::vector<std::uint8_t> derOf(const X509_NAME* name)
{
    const unsigned char* der = nullptr;
    size_t len = 0;
    if (!X509_NAME_get0_der(const_cast<X509_NAME*>(name), &der, &len) || !der)
        return {};
    return std::vector<std::uint8_t>(der, der + len);
}

std::string displayName(const X509_NAME* name)
{
    if (!name)
        return {};
    int idx = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (idx >= 0) {
        ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, idx));
        unsigned char* utf8 = nullptr;
        int n = ASN1_STRING_to_UTF8(&utf8, data);
        if (n >= 0) {
            std::string out(reinterpret_cast<char*>(utf8), static_cast<size_t>(n));
            OPENSSL_free(utf8);
            return out;
        }
    }
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio)
        return {};
    const unsigned long flags =
        (ASN1_STRFLGS_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) | XN_FLAG_SEP_CPLUS_SPC | XN_FLAG_DN_REV | XN_FLAG_FN_SN;
    if (X509_NAME_print_ex(bio.get(), name, 0, flags) < 0)
        return {};
    char* data = nullptr;
    long n = BIO_get_mem_data(bio.get(), &data);
    return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

int certificateKind(X509* cert)
{
    const uint32_t flags = X509_get_extension_flags(cert);
    const bool ca = (flags & EXFLAG_CA) != 0;
    const bool explicitlyNotCa = (flags & EXFLAG_BCONS) && !ca;
    const bool selfIssued = X509_NAME_cmp(X509_get_subject_name(cert), X509_get_issuer_name(cert)) == 0;
    if (selfIssued && !explicitlyNotCa) {
        // A self-issued CA is a root; so is an old certificate without basic constraints that
        // verifies with its own key. A self-signed certificate that says CA:FALSE stays an end
        // entity and never goes into the root store.
        if (ca)
            return DRV_CERT_ROOT;
        if (signedBy(cert, X509_get0_pubkey(cert)))
            return DRV_CERT_ROOT;
    }
    return ca ? DRV_CERT_CA : DRV_CERT_END_ENTITY;
}

std::string serialHex(X509* cert)
{
    BigNumPtr bn(ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr));
    if (!bn)
        return {};
    char* hex = BN_bn2hex(bn.get());
    if (!hex)
        return {};
    std::string out(hex);
    OPENSSL_free(hex);
    return out;
}

void copyUtf8(char* dst, size_t capacity, const std::string& src)
{
    if (capacity == 0)
        return;
    size_t n = std::min(src.size(), capacity - 1);
    if (n < src.size())
        while (n > 0 && (static_cast<unsigned char>(src[n]) & 0xC0) == 0x80)
            --n;
    std::memcpy(dst, src.data(), n);
    dst[n] = 0;
}

void copyUtf16(std::uint16_t* dst, size_t capacity, const std::string& utf8)
{
    if (capacity == 0)
        return;
    size_t out = 0;
    size_t i = 0;
    const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
    while (i < utf8.size()) {
        char32_t cp;
        unsigned char c = s[i];
        size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (len == 0 || i + len > utf8.size()) {
            cp = 0xFFFD;
            len = 1;
        } else {
            cp = len == 1 ? c : c & (0x7F >> len);
            for (size_t k = 1; k < len; ++k)
                cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        i += len;
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            cp = 0xFFFD;
        const size_t units = cp >= 0x10000 ? 2 : 1;
        if (out + units > capacity - 1)
            break;
        if (units == 2) {
            cp -= 0x10000;
            dst[out++] = static_cast<std::uint16_t>(0xD800 + (cp >> 10));
            dst[out++] = static_cast<std::uint16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            dst[out++] = static_cast<std::uint16_t>(cp);
        }
    }
    dst[out] = 0;
}

static void fillDate(const ASN1_TIME* t, int* fields)
{
    std::memset(fields, 0, sizeof(int) * DRV_DATE_FIELDS);
    struct tm tm
    {};
    if (!t || !ASN1_TIME_to_tm(t, &tm))
        return;
    fields[0] = tm.tm_year + 1900;
    fields[1] = tm.tm_mon + 1;
    fields[2] = tm.tm_mday;
    fields[3] = tm.tm_hour;
    fields[4] = tm.tm_min;
    fields[5] = tm.tm_sec;
}

int decodeCertificateInfo(const unsigned char* cert, int length, std::uint16_t* subject, std::uint16_t* issuer,
                          int* certVersion, char* serial, int* notBefore, int* notAfter, int* certType)
{
    if (!cert || !subject || !issuer || !certVersion || !serial || !notBefore || !notAfter || !certType || length <= 0)
        return DRV_INVALID_PARAM;
    X509Ptr x = decodeDer(cert, static_cast<size_t>(length));
    // OpenSSL takes any integer as the version; a certificate is of version 1, 2 or 3 (0 to 2).
    const long version = x ? X509_get_version(x.get()) : -1;
    if (version < 0 || version > 2)
        return DRV_FILE_ERROR;
    copyUtf16(subject, DRV_NAME_SIZE, displayName(X509_get_subject_name(x.get())));
    copyUtf16(issuer, DRV_NAME_SIZE, displayName(X509_get_issuer_name(x.get())));
    *certVersion = static_cast<int>(version) + 1;
    copyUtf8(serial, DRV_NAME_SIZE, serialHex(x.get()));
    fillDate(X509_get0_notBefore(x.get()), notBefore);
    fillDate(X509_get0_notAfter(x.get()), notAfter);
    *certType = certificateKind(x.get());
    return DRV_OK;
}

bool readFile(const std::string& path, std::vector<std::uint8_t>& out, size_t limit)
{
    out.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    in.seekg(0, std::ios::end);
    std::streamoff size = in.tellg();
    if (size < 0 || static_cast<std::uintmax_t>(size) > limit)
        return false;
    in.seekg(0);
    out.resize(static_cast<size_t>(size));
    if (size > 0 && !in.read(reinterpret_cast<char*>(out.data()), size))
        return false;
    return true;
}

} // namespace drevmor
