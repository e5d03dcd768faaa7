// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

namespace kx {

// A certificate followed by the certificates among `candidates` that issued it, each the issuer
// of the one before, up to a self-signed root or the first certificate whose issuer is not there.
// An issuer counts only when its key verifies the signature; a loop ends the chain. Bytes that
// are no DER certificate give an empty list.
QList<QByteArray> CertificateChain(const QByteArray& der, const QList<QByteArray>& candidates);

// The PEM text of DER bytes under `label` ("CERTIFICATE", "CERTIFICATE REQUEST"): base64 in
// lines of 64 characters, LF line ends.
QByteArray PemEncode(QByteArrayView der, QByteArrayView label);

// The DER bytes of the first PEM block labelled `label` in `text`; the text itself when it holds
// no PEM header (it is taken as DER then); empty for a damaged block.
QByteArray PemDecode(QByteArrayView text, QByteArrayView label);

} // namespace kx
