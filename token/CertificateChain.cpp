// SPDX-License-Identifier: Apache-2.0
#include "CertificateChain.h"

#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace kx {

namespace {

using X509Ptr = std::unique_ptr<X509, decltype(&X509_free)>;

// No chain a key holds is longer; a longer one is cut here.
constexpr int kMaxChainLength = 10;

X509Ptr parse(const QByteArray& der)
{
    const auto* data = reinterpret_cast<const unsigned char*>(der.constData());
    X509Ptr cert(d2i_X509(nullptr, &data, der.size()), X509_free);
    // Trailing bytes mean it was not one certificate.
    if (cert && data != reinterpret_cast<const unsigned char*>(der.constData()) + der.size()) {
        cert.reset();
    }
    return cert;
}

bool issued(X509* issuer, X509* subject)
{
    if (X509_check_issued(issuer, subject) != X509_V_OK) {
        return false;
    }
    EVP_PKEY* key = X509_get0_pubkey(issuer);
    return key && X509_verify(subject, key) == 1;
}

} // namespace

QList<QByteArray> CertificateChain(const QByteArray& der, const QList<QByteArray>& candidates)
{
    X509Ptr current = parse(der);
    if (!current) {
        return {};
    }
    QList<QByteArray> chain{der};
    while (chain.size() < kMaxChainLength) {
        // A self-signed certificate ends the chain.
        if (issued(current.get(), current.get())) {
            break;
        }
        const QByteArray* next = nullptr;
        X509Ptr nextCert(nullptr, X509_free);
        for (const QByteArray& candidate : candidates) {
            if (chain.contains(candidate)) {
                continue;
            }
            X509Ptr cert = parse(candidate);
            if (cert && issued(cert.get(), current.get())) {
                next = &candidate;
                nextCert = std::move(cert);
                break;
            }
        }
        if (!next) {
            break;
        }
        chain.append(*next);
        current = std::move(nextCert);
    }
    return chain;
}

QByteArray PemEncode(QByteArrayView der, QByteArrayView label)
{
    const QByteArray base64 = QByteArray(der.data(), der.size()).toBase64();
    QByteArray out = "-----BEGIN " + label.toByteArray() + "-----\n";
    for (qsizetype at = 0; at < base64.size(); at += 64) {
        out += base64.mid(at, 64) + '\n';
    }
    out += "-----END " + label.toByteArray() + "-----\n";
    return out;
}

QByteArray PemDecode(QByteArrayView text, QByteArrayView label)
{
    const QByteArray begin = "-----BEGIN " + label.toByteArray() + "-----";
    const QByteArray end = "-----END " + label.toByteArray() + "-----";
    const QByteArray all = text.toByteArray();
    const qsizetype start = all.indexOf(begin);
    if (start < 0) {
        return all.contains("-----BEGIN ") ? QByteArray() : all;
    }
    const qsizetype body = start + begin.size();
    const qsizetype stop = all.indexOf(end, body);
    if (stop < 0) {
        return {};
    }
    QByteArray base64 = all.mid(body, stop - body);
    base64.removeIf([](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
    const auto decoded = QByteArray::fromBase64Encoding(base64, QByteArray::AbortOnBase64DecodingErrors);
    return decoded ? *decoded : QByteArray();
}

} // namespace kx
