// SPDX-License-Identifier: Apache-2.0
// PKCS#10 certificate requests whose signature comes from outside OpenSSL (a key's C_Sign).
#include "CertRequest.h"

#include "drevmor.h"

#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <memory>

namespace drevmor {
namespace {

struct ReqFree
{
    void operator()(X509_REQ* p) const { X509_REQ_free(p); }
    void operator()(X509_NAME* p) const { X509_NAME_free(p); }
    void operator()(X509_ALGOR* p) const { X509_ALGOR_free(p); }
    void operator()(ASN1_BIT_STRING* p) const { ASN1_BIT_STRING_free(p); }
    void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
};

// The number of characters of a UTF-8 text; nullopt when it is not valid UTF-8 or holds a
// control character.
std::optional<size_t> utf8Characters(const std::string& s)
{
    size_t count = 0;
    for (size_t i = 0; i < s.size(); ++count) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t extra = 0;
        char32_t cp = 0;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return std::nullopt;
        }
        if (i + extra >= s.size())
            return std::nullopt; // cut short
        for (size_t k = 1; k <= extra; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80)
                return std::nullopt;
            cp = (cp << 6) | (cc & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are no UTF-8.
        static constexpr char32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kLeast[extra] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            return std::nullopt;
        if (cp < 0x20 || cp == 0x7F)
            return std::nullopt;
        i += extra + 1;
    }
    return count;
}

bool within(const std::string& s, size_t most)
{
    auto n = utf8Characters(s);
    return n && *n <= most;
}

bool asciiLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

int signatureNid(RequestAlgorithm algorithm)
{
    switch (algorithm) {
    case RequestAlgorithm::RsaSha256:
        return NID_sha256WithRSAEncryption;
    case RequestAlgorithm::EcdsaSha256:
        return NID_ecdsa_with_SHA256;
    case RequestAlgorithm::EcdsaSha384:
        return NID_ecdsa_with_SHA384;
    case RequestAlgorithm::Sm2Sm3:
        return NID_SM2_with_SM3;
    }
    return NID_undef;
}

bool addField(X509_NAME* name, int nid, const std::string& value)
{
    if (value.empty())
        return true;
    return X509_NAME_add_entry_by_NID(name, nid, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value.data()),
                                      static_cast<int>(value.size()), -1, 0) == 1;
}

} // namespace

int checkSubject(const RequestSubject& subject)
{
    if (subject.commonName.empty() || !within(subject.commonName, kMaxNameField) ||
        !within(subject.organization, kMaxNameField) || !within(subject.unit, kMaxNameField))
        return DRV_INVALID_PARAM;
    if (!subject.country.empty() &&
        (subject.country.size() != 2 || !asciiLetter(subject.country[0]) || !asciiLetter(subject.country[1])))
        return DRV_INVALID_PARAM;
    if (subject.email.size() > kMaxEmailField || !within(subject.email, kMaxEmailField))
        return DRV_INVALID_PARAM;
    for (char c : subject.email)
        if (static_cast<unsigned char>(c) >= 0x80)
            return DRV_INVALID_PARAM; // an emailAddress is an IA5String
    return DRV_OK;
}

Bytes derSignature(std::span<const std::uint8_t> rs)
{
    if (rs.empty() || rs.size() % 2 != 0)
        return {};
    const int half = static_cast<int>(rs.size() / 2);
    BigNumPtr r(BN_bin2bn(rs.data(), half, nullptr));
    BigNumPtr s(BN_bin2bn(rs.data() + half, half, nullptr));
    std::unique_ptr<ECDSA_SIG, ReqFree> sig(ECDSA_SIG_new());
    if (!r || !s || !sig || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1)
        return {};
    r.release(); // the signature owns them now
    s.release();
    unsigned char* der = nullptr;
    const int n = i2d_ECDSA_SIG(sig.get(), &der);
    if (n <= 0)
        return {};
    Bytes out(der, der + n);
    OPENSSL_free(der);
    return out;
}

int buildRequest(EVP_PKEY* publicKey, const RequestSubject& subject, RequestAlgorithm algorithm,
                 const RequestSigner& sign, Bytes& der)
{
    der.clear();
    if (int rv = checkSubject(subject))
        return rv;
    std::unique_ptr<X509_REQ, ReqFree> req(X509_REQ_new());
    std::unique_ptr<X509_NAME, ReqFree> name(X509_NAME_new());
    if (!publicKey || !req || !name)
        return DRV_GENERAL_ERROR;
    // The usual order, from the widest part of the name to the person.
    if (!addField(name.get(), NID_countryName, subject.country) ||
        !addField(name.get(), NID_organizationName, subject.organization) ||
        !addField(name.get(), NID_organizationalUnitName, subject.unit) ||
        !addField(name.get(), NID_commonName, subject.commonName) ||
        !addField(name.get(), NID_pkcs9_emailAddress, subject.email)) {
        ERR_clear_error();
        return DRV_INVALID_PARAM;
    }
    if (X509_REQ_set_version(req.get(), X509_REQ_VERSION_1) != 1 ||
        X509_REQ_set_subject_name(req.get(), name.get()) != 1 || X509_REQ_set_pubkey(req.get(), publicKey) != 1) {
        ERR_clear_error();
        return DRV_GENERAL_ERROR;
    }
    // RSA signatures name the NULL parameter; ECDSA and SM2 ones have none.
    std::unique_ptr<X509_ALGOR, ReqFree> alg(X509_ALGOR_new());
    const bool rsa = algorithm == RequestAlgorithm::RsaSha256;
    if (!alg ||
        X509_ALGOR_set0(alg.get(), OBJ_nid2obj(signatureNid(algorithm)), rsa ? V_ASN1_NULL : V_ASN1_UNDEF, nullptr) !=
            1 ||
        X509_REQ_set1_signature_algo(req.get(), alg.get()) != 1) {
        ERR_clear_error();
        return DRV_GENERAL_ERROR;
    }
    unsigned char* info = nullptr;
    const int infoLength = i2d_re_X509_REQ_tbs(req.get(), &info);
    if (infoLength <= 0) {
        ERR_clear_error();
        return DRV_GENERAL_ERROR;
    }
    Bytes signature;
    const int signed_ = sign(std::span<const std::uint8_t>(info, static_cast<size_t>(infoLength)), signature);
    OPENSSL_free(info);
    if (signed_ != DRV_OK)
        return signed_;
    std::unique_ptr<ASN1_BIT_STRING, ReqFree> bits(ASN1_BIT_STRING_new());
    if (signature.empty() || !bits ||
        ASN1_BIT_STRING_set(bits.get(), signature.data(), static_cast<int>(signature.size())) != 1)
        return DRV_GENERAL_ERROR;
    // Whole bytes: no unused bits at the end.
    bits->flags &= ~(ASN1_STRING_FLAG_BITS_LEFT | 0x07);
    bits->flags |= ASN1_STRING_FLAG_BITS_LEFT;
    X509_REQ_set0_signature(req.get(), bits.release());
    unsigned char* out = nullptr;
    const int n = i2d_X509_REQ(req.get(), &out);
    if (n <= 0) {
        ERR_clear_error();
        return DRV_GENERAL_ERROR;
    }
    der.assign(out, out + n);
    OPENSSL_free(out);
    return DRV_OK;
}

} // namespace drevmor
