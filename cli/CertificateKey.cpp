// SPDX-License-Identifier: Apache-2.0
#include "CertificateKey.h"

#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <array>
#include <memory>

namespace kx::cli {

namespace {

struct X509Free
{
    void operator()(X509* cert) const { X509_free(cert); }
};

QString algorithmOf(const EVP_PKEY* key)
{
    if (EVP_PKEY_is_a(key, "RSA")) {
        return QStringLiteral("RSA");
    }
    if (EVP_PKEY_is_a(key, "SM2")) {
        return QStringLiteral("SM2");
    }
    if (EVP_PKEY_is_a(key, "EC")) {
        std::array<char, 64> group{};
        std::size_t length = 0;
        if (EVP_PKEY_get_utf8_string_param(key, "group", group.data(), group.size(), &length) == 1 &&
            OBJ_txt2nid(group.data()) == NID_sm2) {
            return QStringLiteral("SM2");
        }
        return QStringLiteral("ECC");
    }
    return QString::fromLatin1(EVP_PKEY_get0_type_name(key));
}

} // namespace

CertificateKey CertificateKeyOf(const QByteArray& der)
{
    CertificateKey key;
    const auto* bytes = reinterpret_cast<const unsigned char*>(der.constData());
    const std::unique_ptr<X509, X509Free> cert(d2i_X509(nullptr, &bytes, der.size()));
    if (!cert) {
        return key;
    }
    const EVP_PKEY* publicKey = X509_get0_pubkey(cert.get());
    if (!publicKey) {
        return key;
    }
    key.algorithm = algorithmOf(publicKey);
    key.bits = EVP_PKEY_get_bits(publicKey);
    return key;
}

} // namespace kx::cli
