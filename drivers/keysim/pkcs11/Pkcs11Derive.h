// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "../core/KeyStore.h"

#include <p11-kit/pkcs11.h>

// ECDH key agreement of the module (CKM_ECDH1_DERIVE on P-256 private keys with CKA_DERIVE): the
// shared secret as it stands (CKD_NULL) or through the X9.63 KDF with SHA-1/256/384/512, made into
// the attributes of a new secret key.
namespace keysim {

// Adds the key sizes and CKF_DERIVE flags of a derive mechanism to `info`; false for any other.
bool deriveMechanismInfo(CK_MECHANISM_TYPE m, CK_MECHANISM_INFO& info);
// Derives from the private key `base` with the mechanism and completes `tmpl` (the caller's
// template) into the new secret key: class, key type, CKA_VALUE and CKA_VALUE_LEN.
CK_RV deriveSecretKey(const CK_MECHANISM& mech, const Attributes& base, Attributes& tmpl);

} // namespace keysim
