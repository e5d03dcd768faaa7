// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "../core/KeyStore.h"

#include <p11-kit/pkcs11.h>

#include <string>

// RSA encryption and decryption of the module: PKCS#1 v1.5 (CKM_RSA_PKCS) and OAEP
// (CKM_RSA_PKCS_OAEP with SHA-1/256/384/512 and an optional label), one part at a time.
// Decryption takes a private key with CKA_DECRYPT, encryption a public key with CKA_ENCRYPT.
namespace keysim {

struct CipherOperation
{
    CK_MECHANISM_TYPE mechanism = 0;
    bool encrypt = false;
    const char* oaepDigest = nullptr; // OpenSSL names of the OAEP hash and of the MGF1 hash
    const char* mgfDigest = nullptr;
    CK_ULONG oaepHashSize = 0;
    Bytes label;
    Attributes key;
};

// The cipher mechanisms, in the order the module lists them.
std::vector<CK_MECHANISM_TYPE> cipherMechanisms();
// Adds the key sizes and the CKF_ENCRYPT / CKF_DECRYPT flags of a cipher mechanism to `info`
// (which may already hold the signing flags of the same mechanism); false for any other.
bool addCipherMechanismInfo(CK_MECHANISM_TYPE m, CK_MECHANISM_INFO& info);
// Checks the mechanism, its parameters and the key, and fills `op`.
CK_RV initCipherOperation(const CK_MECHANISM& mech, Attributes key, bool encrypt, CipherOperation& op);
// The room the output needs: the modulus length (decryption output is at most that long).
CK_ULONG cipherOutputBound(const CipherOperation& op);
// Encrypts or decrypts `in`; a decrypted result is wiped by the caller once copied out.
CK_RV runCipher(const CipherOperation& op, const Bytes& in, Bytes& out);

} // namespace keysim
