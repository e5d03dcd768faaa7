// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "TokenRecords.h"

#include <QString>

namespace kx {

// Whether a RegCertMode registers the end-entity certificate of a key pair, given the pair's
// kind (1 exchange, 2 signature) and algorithm (-1 when the public key could not be read).
bool ShouldRegisterEndEntity(int regCertMode, int keySpec, int keyAlgorithm);

// Puts every certificate of key `keyIndex` into the user's stores: end-entity certificates into
// the personal store, bound to their container through `cspName` (as `regCertMode` selects), root
// and CA certificates into "ROOT" and "CA". Reads the container names into `info` first. Returns
// 0; the code of container_load_all when the names cannot be read; 10000 + c or 20000 + c when
// registering an exchange or signature certificate failed with c (and stops there).
int RegisterKeyCertificates(int keyIndex, TR7Info& info, const QString& cspName, int regCertMode);

// The message shown when RegisterKeyCertificates failed with `result`: the code, and, when the
// certificate store could not be written because its disk is full or for want of permission, that
// reason.
QString RegistrationFailureText(int result);

// Removes from the user's personal store every certificate bound to the provider named exactly
// (case included) `cspName`. Root and CA certificates stay. Always 0.
int RemoveStoreCertsOfCSP(const QString& cspName);

} // namespace kx
