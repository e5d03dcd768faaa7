// SPDX-License-Identifier: Apache-2.0
// Parsing PKCS#12 and PKCS#7 certificate files and keeping them for the import calls.
#include "CertFiles.h"

#include "TokenLibrary.h"
#include "drevmor.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/provider.h>

#include <cstring>
#include <memory>

namespace drevmor {

namespace {

// DRV_OK when every certificate of a parsed file fits the callers' certificate buffer.
int checkSizes(const HeldFile& held)
{
    for (const auto& c : held.certs)
        if (!fitsCertBuffer(c.get()))
            return DRV_CERT_TOO_LARGE;
    return DRV_OK;
}

// Loads OpenSSL's legacy provider once; it stays loaded until the library is unloaded or the
// process ends, when it is released again.
void loadLegacyProvider()
{
    struct ProviderRelease
    {
        void operator()(OSSL_PROVIDER* provider) const { OSSL_PROVIDER_unload(provider); }
    };
    static const std::unique_ptr<OSSL_PROVIDER, ProviderRelease> legacy(OSSL_PROVIDER_try_load(nullptr, "legacy", 1));
}

} // namespace

void CertFiles::clear()
{
    m_pkcs12 = HeldFile{};
    m_pkcs7 = HeldFile{};
}

void CertFiles::keyWritten(EVP_PKEY* written)
{
    if (written && m_pkcs12.key.get() == written) {
        // The last reference frees the key, and OpenSSL clears its private numbers on the way.
        m_pkcs12.key.reset();
        m_pkcs12.keyReleased = true;
    }
}

int CertFiles::parsePkcs12(const char* path, const char* password, int* count)
{
    if (!path || !count)
        return DRV_INVALID_PARAM;
    *count = 0;
    m_pkcs12 = HeldFile{};
    std::vector<std::uint8_t> bytes;
    if (!readFile(path, bytes))
        return DRV_FILE_ERROR;
    return parsePkcs12Bytes(bytes, password, count);
}

int CertFiles::parsePkcs12Bytes(std::span<const std::uint8_t> bytes, const char* password, int* count)
{
    if (!count)
        return DRV_INVALID_PARAM;
    *count = 0;
    m_pkcs12 = HeldFile{};
    if (bytes.size() > kMaxCertificateFileSize)
        return DRV_FILE_ERROR;
    const size_t passLen = password ? strnlen(password, kMaxSecretLength + 1) : 0;
    if (passLen > kMaxSecretLength)
        return DRV_INVALID_PARAM;
    // The caller's password is used in place: the library keeps no copy of it.
    const char* pass = password ? password : "";

    const unsigned char* p = bytes.data();
    Pkcs12Ptr p12(bytes.empty() ? nullptr : d2i_PKCS12(nullptr, &p, static_cast<long>(bytes.size())));
    if (!p12) {
        ERR_clear_error();
        return DRV_FILE_ERROR;
    }
    const bool mac = PKCS12_mac_present(p12.get()) != 0;
    if (mac) {
        bool ok = PKCS12_verify_mac(p12.get(), pass, static_cast<int>(passLen)) == 1;
        if (!ok && passLen == 0)
            ok = PKCS12_verify_mac(p12.get(), nullptr, 0) == 1;
        if (!ok) {
            ERR_clear_error();
            return DRV_PASSWORD_ERROR;
        }
    }
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    STACK_OF(X509)* ca = nullptr;
    if (!PKCS12_parse(p12.get(), pass, &key, &cert, &ca)) {
        // Files from older systems are encrypted with algorithms OpenSSL keeps in its legacy
        // provider: load it once and try again.
        ERR_clear_error();
        loadLegacyProvider();
        if (!PKCS12_parse(p12.get(), pass, &key, &cert, &ca)) {
            ERR_clear_error();
            return mac ? DRV_FILE_ERROR : DRV_PASSWORD_ERROR;
        }
    }
    HeldFile held;
    EvpKeyPtr keyOwner(key);
    if (cert)
        held.certs.emplace_back(cert);
    for (int i = 0; ca && i < sk_X509_num(ca); ++i)
        held.certs.emplace_back(sk_X509_value(ca, i));
    sk_X509_free(ca); // the certificates now belong to held.certs
    if (keyOwner) {
        // A private key goes on a key only with its own certificate: a key that belongs to none of
        // the file's certificates makes the whole file unusable, rather than importing the
        // certificates without it.
        const bool matches = cert && X509_check_private_key(cert, keyOwner.get()) == 1;
        ERR_clear_error();
        if (!matches)
            return DRV_KEY_MISMATCH;
        held.key = std::move(keyOwner);
    }
    if (int rv = checkSizes(held))
        return rv;
    m_pkcs12 = std::move(held);
    *count = static_cast<int>(m_pkcs12.certs.size());
    return DRV_OK;
}

int CertFiles::parsePkcs7(const char* path, int* count)
{
    if (!path || !count)
        return DRV_INVALID_PARAM;
    *count = 0;
    m_pkcs7 = HeldFile{};
    std::vector<std::uint8_t> bytes;
    if (!readFile(path, bytes))
        return DRV_FILE_ERROR;
    return parsePkcs7Bytes(bytes, count);
}

int CertFiles::parsePkcs7Bytes(std::span<const std::uint8_t> bytes, int* count)
{
    if (!count)
        return DRV_INVALID_PARAM;
    *count = 0;
    m_pkcs7 = HeldFile{};
    if (bytes.empty() || bytes.size() > kMaxCertificateFileSize)
        return DRV_FILE_ERROR;
    const unsigned char* p = bytes.data();
    Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(bytes.size())));
    if (!p7) {
        BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
        if (bio)
            p7.reset(PEM_read_bio_PKCS7(bio.get(), nullptr, nullptr, nullptr));
    }
    ERR_clear_error();
    if (!p7)
        return DRV_FILE_ERROR;
    STACK_OF(X509)* certs = nullptr;
    const int type = OBJ_obj2nid(p7->type);
    if (type == NID_pkcs7_signed && p7->d.sign)
        certs = p7->d.sign->cert;
    else if (type == NID_pkcs7_signedAndEnveloped && p7->d.signed_and_enveloped)
        certs = p7->d.signed_and_enveloped->cert;
    else
        return DRV_FILE_ERROR;
    HeldFile held;
    for (int i = 0; certs && i < sk_X509_num(certs); ++i) {
        X509* c = sk_X509_value(certs, i);
        if (X509_up_ref(c))
            held.certs.emplace_back(c);
    }
    if (int rv = checkSizes(held))
        return rv;
    m_pkcs7 = std::move(held);
    *count = static_cast<int>(m_pkcs7.certs.size());
    return DRV_OK;
}

X509* CertFiles::cert(bool pkcs12, int index) const
{
    const HeldFile& f = pkcs12 ? m_pkcs12 : m_pkcs7;
    if (index < 0 || static_cast<size_t>(index) >= f.certs.size())
        return nullptr;
    return f.certs[static_cast<size_t>(index)].get();
}

int CertFiles::certInfo(bool pkcs12, int index, char* subject, char* issuer, int* certType) const
{
    if (!subject || !issuer || !certType)
        return DRV_INVALID_PARAM;
    X509* c = cert(pkcs12, index);
    if (!c)
        return DRV_NO_FILE_PARSED;
    copyUtf8(subject, DRV_NAME_SIZE, displayName(X509_get_subject_name(c)));
    copyUtf8(issuer, DRV_NAME_SIZE, displayName(X509_get_issuer_name(c)));
    *certType = certificateKind(c);
    return DRV_OK;
}

} // namespace drevmor
