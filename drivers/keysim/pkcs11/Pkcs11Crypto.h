// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "../core/KeyStore.h"
#include "OpensslHandles.h"

#include <p11-kit/pkcs11.h>

#include <vector>

// Key-pair generation and signing with OpenSSL for the module: RSA PKCS#1 v1.5 and PSS (raw or
// with SHA-256/384/512) and ECDSA on P-256 (raw or with SHA-256/384/512), from one table of
// signing mechanisms.
namespace keysim {

struct SignOperation
{
    CK_MECHANISM_TYPE mechanism = 0;
    CK_RSA_PKCS_PSS_PARAMS pss{};
    Attributes key;
    Bytes data;
    Bytes parameter; // the mechanism's parameter, for mechanisms that take one
};

// The OpenSSL key of a private key object (RSA, or EC on P-256); empty when parts are missing.
PkeyPtr privateKey(const Attributes& key);

bool signMechanismSupported(CK_MECHANISM_TYPE m);
// The signing mechanisms, in the order the module lists them.
std::vector<CK_MECHANISM_TYPE> signMechanisms();
// The limits and flags of a signing mechanism; false for any other mechanism.
bool signMechanismInfo(CK_MECHANISM_TYPE m, CK_MECHANISM_INFO& info);
// Whether the mechanism hashes the data itself (and so takes C_SignUpdate).
bool signMechanismHashes(CK_MECHANISM_TYPE m);
// Fills the generated key material into the public and private attribute sets.
CK_RV generateKeyMaterial(CK_MECHANISM_TYPE mech, Attributes& pub, Attributes& priv);
// Checks the mechanism, its parameters and the key, and fills `op` to sign with them.
CK_RV initSignOperation(const CK_MECHANISM& mech, Attributes key, SignOperation& op);
CK_ULONG signatureLength(const SignOperation& op);
CK_RV computeSignature(const SignOperation& op, Bytes& out);

} // namespace keysim
