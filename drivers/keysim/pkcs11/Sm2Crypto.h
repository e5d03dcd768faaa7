// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "Pkcs11Crypto.h"

// SM2 keys and signatures of the module (mechanisms and key type in keysim_ext.h): key-pair
// generation on the SM2 curve, SM2 signing of a given digest, and SM2 with SM3 over the message
// and the signer's identity digest Z.
namespace keysim {

// DER of the SM2 curve's object identifier 1.2.156.10197.1.301 (CKA_EC_PARAMS of an SM2 key).
extern const Bytes kSm2Params;

// True for an SM2 key: CKK_EC with the SM2 curve's parameters, or the vendor SM2 key type.
bool isSm2Key(const Attributes& key);
bool isSm2Mechanism(CK_MECHANISM_TYPE m);
// True for a mechanism that hashes the data itself and so takes C_SignUpdate.
bool sm2HashesInput(CK_MECHANISM_TYPE m);
// Checks and copies the parameter of an SM2 mechanism (the signer's identity).
CK_RV sm2Parameter(const CK_MECHANISM& mech, Bytes& out);
// Fills a new SM2 key pair into the public and private attribute sets.
CK_RV generateSm2KeyMaterial(Attributes& pub, Attributes& priv);
// The signature r || s of the operation's data with its SM2 key.
CK_RV computeSm2Signature(const SignOperation& op, Bytes& out);

} // namespace keysim
