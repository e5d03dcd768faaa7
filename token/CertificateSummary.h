// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace kx {

// What the user is shown of a certificate before it may become a trusted authority of the
// desktop: its names, validity and fingerprints, and whether it is a root (self-signed, its
// signature verifying with its own key) that declares itself a CA (basicConstraints CA:TRUE).
struct CertificateSummary
{
    QString subject;   // one line, RFC 2253 order
    QString issuer;    // one line, RFC 2253 order
    QString notBefore; // "yyyy-MM-dd HH:mm:ss UTC"
    QString notAfter;
    QString sha1;   // upper-case hex, bytes separated by ":"
    QString sha256; // upper-case hex, bytes separated by ":"
    bool selfSigned = false;
    bool ca = false;

    // Only a self-signed certificate that says CA:TRUE is ever offered as a trusted root.
    bool trustableRoot() const { return selfSigned && ca; }
    // A CA certificate that is not a root: it may be added to a database without trust.
    bool intermediate() const { return ca && !selfSigned; }

    // The summary of DER bytes; nothing when they are no certificate (or longer than any
    // certificate a key holds).
    static std::optional<CertificateSummary> read(const QByteArray& der);
    // The SHA-256 fingerprint of any bytes, in the form above.
    static QString sha256Of(const QByteArray& der);
};

} // namespace kx
