// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "CertDecode.h"
#include "ObjectView.h"
#include "P11Session.h"

#include <string>

namespace drevmor {

// Templates of the PKCS#11 objects a certificate import writes. `exchange` is key specification
// 1: the keys may then also decrypt and unwrap (RSA) or derive (EC); a signature key pair only
// signs and verifies. Each returns DRV_OK, or DRV_FILE_ERROR for a key that is neither RSA nor EC
// on a named curve.
int privateKeyTemplate(EVP_PKEY* key, bool exchange, const Bytes& id, const std::string& label, const Bytes& subject,
                       Template& t);
int publicKeyTemplate(EVP_PKEY* key, bool exchange, const Bytes& id, const std::string& label, const Bytes& subject,
                      Template& t);
void certificateTemplate(X509* cert, const Bytes& id, const std::string& label, Template& t);

// The public key a key object holds (an RSA modulus and exponent, or an EC point on a named
// curve, SM2 included) as an OpenSSL key; null when the object holds no usable public key.
EvpKeyPtr publicKeyOf(const ObjectEntry& key);
// True when two keys are the same public key (an EC and an SM2 key on the same curve and point
// included).
bool samePublicKey(EVP_PKEY* a, EVP_PKEY* b);

// The length in bits of an RSA modulus, and of the curve named by DER-encoded CKA_EC_PARAMS
// (0 when unknown).
int modulusBits(const Bytes& modulus);
int curveBits(const Bytes& ecParams);

} // namespace drevmor
