// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "../core/KeyStore.h"

#include <p11-kit/pkcs11.h>

// Key-pair generation and signing with OpenSSL for the module: RSA (CKM_RSA_PKCS,
// CKM_SHA256_RSA_PKCS) and EC P-256 (CKM_ECDSA, CKM_ECDSA_SHA256).
namespace keysim {

struct SignOperation
{
    CK_MECHANISM_TYPE mechanism = 0;
    Attributes key;
    Bytes data;
    Bytes parameter; // the mechanism's parameter, for mechanisms that take one
};

bool signMechanismSupported(CK_MECHANISM_TYPE m);
// Fills the generated key material into the public and private attribute sets.
CK_RV generateKeyMaterial(CK_MECHANISM_TYPE mech, Attributes& pub, Attributes& priv);
// Checks the mechanism suits the key.
CK_RV checkSignKey(CK_MECHANISM_TYPE mech, const Attributes& key);
CK_ULONG signatureLength(const SignOperation& op);
CK_RV computeSignature(const SignOperation& op, Bytes& out);

} // namespace keysim
