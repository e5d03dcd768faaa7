// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "P11Session.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace drevmor {

// SM2 keys as OpenSSL 3 and PKCS#11 modules present them. OpenSSL gives an SM2 key its own key
// type ("SM2"), not EC; on a key it is written as a CKK_EC key whose CKA_EC_PARAMS name the SM2
// curve, and a module may also report it under a vendor key type.

// CKA_EC_PARAMS of an SM2 key: the DER of the SM2 curve's identifier 1.2.156.10197.1.301.
extern const Bytes kSm2CurveParams;
// The identity GM/T 0009 gives a signer who has no other.
extern const Bytes kSm2DefaultSignerId;

// True for an SM2 key, false for every other kind (EC keys on other curves included).
bool isSm2Key(EVP_PKEY* key);
// True for a key written as a CKK_EC object: an EC key or an SM2 key.
bool isEcOrSm2Key(EVP_PKEY* key);
// True for a CKA_KEY_TYPE that means an elliptic-curve key: CKK_EC or a vendor SM2 type.
bool isEcKeyType(CK_ULONG keyType);
// True for a vendor key type that means SM2.
bool isVendorSm2KeyType(CK_ULONG keyType);
// Whether `cert` carries a signature made by `key`. SM2 signatures bind the signer's identity:
// one made without an identity (as OpenSSL writes them by default) and one made with the default
// identity both count.
bool signedBy(X509* cert, EVP_PKEY* key);

} // namespace drevmor
