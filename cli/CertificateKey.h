// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QString>

namespace kx::cli {

// The public key a certificate carries: its algorithm ("RSA", "ECC", "SM2", or the name OpenSSL
// gives another) and its size in bits. Read from the certificate itself, so a certificate
// imported without its keys still tells them.
struct CertificateKey
{
    QString algorithm;
    int bits = 0;
};

// The key of a DER certificate; an empty algorithm and 0 bits for bytes that are no certificate.
CertificateKey CertificateKeyOf(const QByteArray& der);

} // namespace kx::cli
