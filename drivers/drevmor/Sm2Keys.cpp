// SPDX-License-Identifier: Apache-2.0
// Recognising SM2 keys and checking SM2 certificate signatures.
#include "Sm2Keys.h"

#include "keysim_ext.h"

#include <openssl/asn1.h>
#include <openssl/core_names.h>
#include <openssl/err.h>

#include <cstring>

namespace drevmor {

const Bytes kSm2CurveParams = {0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D};
const Bytes kSm2DefaultSignerId = {'1', '2', '3', '4', '5', '6', '7', '8', '1', '2', '3', '4', '5', '6', '7', '8'};

bool isSm2Key(EVP_PKEY* key)
{
    if (!key)
        return false;
    if (EVP_PKEY_is_a(key, "SM2"))
        return true;
    if (!EVP_PKEY_is_a(key, "EC"))
        return false;
    // An EC key on the SM2 curve, as a provider may still hand it out.
    char group[80] = {};
    size_t len = 0;
    if (!EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &len)) {
        ERR_clear_error();
        return false;
    }
    return strcasecmp(group, "SM2") == 0;
}

bool isEcOrSm2Key(EVP_PKEY* key)
{
    return key && (EVP_PKEY_is_a(key, "EC") || isSm2Key(key));
}

bool isVendorSm2KeyType(CK_ULONG keyType)
{
    return keyType == KEYSIM_CKK_SM2;
}

bool isEcKeyType(CK_ULONG keyType)
{
    return keyType == CKK_EC || isVendorSm2KeyType(keyType);
}

bool signedBy(X509* cert, EVP_PKEY* key)
{
    if (!cert || !key)
        return false;
    const bool plain = X509_verify(cert, key) == 1;
    ERR_clear_error();
    if (plain || !isSm2Key(key))
        return plain;
    // Verify a copy: the identity set for the check must not stick to the caller's certificate.
    std::unique_ptr<X509, decltype(&X509_free)> copy(X509_dup(cert), &X509_free);
    ASN1_OCTET_STRING* id = ASN1_OCTET_STRING_new();
    if (!copy || !id ||
        !ASN1_OCTET_STRING_set(id, kSm2DefaultSignerId.data(), static_cast<int>(kSm2DefaultSignerId.size()))) {
        ASN1_OCTET_STRING_free(id);
        return false;
    }
    X509_set0_distinguishing_id(copy.get(), id);
    const bool withId = X509_verify(copy.get(), key) == 1;
    ERR_clear_error();
    return withId;
}

} // namespace drevmor
