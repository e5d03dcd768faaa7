// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "TokenRecords.h"

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>

#include <optional>

namespace kx {

// Whether a RegCertMode registers the end-entity certificate of a key pair, given the pair's
// kind (1 exchange, 2 signature) and algorithm (-1 when the public key could not be read).
bool ShouldRegisterEndEntity(int regCertMode, int keySpec, int keyAlgorithm);

// Puts every certificate of key `keyIndex` into the user's stores: end-entity certificates into
// the personal store, bound to their container through `cspName` (as `regCertMode` selects), root
// and CA certificates into "ROOT" and "CA". With the desktop registration on, CA certificates
// (basicConstraints CA:TRUE) also go to the desktop's NSS databases: intermediates without trust,
// roots trusted when the user agreed to trust them (RootDecisions), never when the user refused.
// Reads the container names into `info` first. Returns
// 0; the code of container_load_all when the names cannot be read; 10000 + c or 20000 + c when
// registering an exchange or signature certificate failed with c (and stops there).
int RegisterKeyCertificates(int keyIndex, TR7Info& info, const QString& cspName, int regCertMode);
// The same, and the names of the key's containers in `containers` when they could be read (also
// when registering a certificate failed afterwards), nothing when they could not: a caller that
// removes the certificates of absent containers must keep everything while a present key's
// containers are unknown. `undecidedRoots` gets the DER of each root the user has not yet been
// asked about, for the program to ask; none of them went to the desktop's databases.
int RegisterKeyCertificates(int keyIndex, TR7Info& info, const QString& cspName, int regCertMode,
                            std::optional<QSet<QByteArray>>& containers, QList<QByteArray>& undecidedRoots);

// The message shown when RegisterKeyCertificates failed with `result`: the code, and, when the
// certificate store could not be written because its disk is full or for want of permission, that
// reason.
QString RegistrationFailureText(int result);

// Removes from the user's personal store every certificate bound to the provider named exactly
// (case included) `cspName`. Root and CA certificates stay. Always 0.
int RemoveStoreCertsOfCSP(const QString& cspName);

// Removes from the user's personal store every certificate bound to the provider `cspName`
// (exactly, as above) whose container is not in `presentContainers`, the containers of every key
// still plugged. Certificates without a binding, other providers' and the ROOT and CA stores stay.
// 0 when each of them is gone afterwards, DRV_STORE_ERROR when one could not be removed or the
// store not be read (the others are removed all the same).
int RemoveStoreCertsOfAbsentContainers(const QString& cspName, const QSet<QByteArray>& presentContainers);

// Removes from the user's personal store the certificates bound to the provider `cspName` and to
// `container`, after the container or one of its certificates was deleted from the key: with
// `der` only the certificate of those bytes, without it every one of the container. Codes as
// RemoveStoreCertsOfAbsentContainers.
int RemoveStoreCertsOfContainer(const QString& cspName, const QByteArray& container, std::optional<QByteArray> der);

} // namespace kx
