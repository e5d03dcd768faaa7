// SPDX-License-Identifier: Apache-2.0
#include "CertificateSummary.h"

#include <QCryptographicHash>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>
#include <memory>

namespace kx {

namespace {

// Larger than any certificate a key or a certificate file holds; longer bytes are not parsed.
constexpr qsizetype kMaxCertificateBytes = 64 * 1024;

using X509Ptr = std::unique_ptr<X509, decltype(&X509_free)>;
using BioPtr = std::unique_ptr<BIO, decltype(&BIO_free)>;
using ConstraintsPtr = std::unique_ptr<BASIC_CONSTRAINTS, decltype(&BASIC_CONSTRAINTS_free)>;

QString nameLine(const X509_NAME* name)
{
    BioPtr out(BIO_new(BIO_s_mem()), BIO_free);
    if (!out || X509_NAME_print_ex(out.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0) {
        return QString();
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(out.get(), &data);
    return length > 0 ? QString::fromUtf8(data, static_cast<qsizetype>(length)) : QString();
}

QString timeText(const ASN1_TIME* time)
{
    std::tm value{};
    if (!time || ASN1_TIME_to_tm(time, &value) != 1) {
        return QString();
    }
    return QString::asprintf("%04d-%02d-%02d %02d:%02d:%02d UTC", value.tm_year + 1900, value.tm_mon + 1, value.tm_mday,
                             value.tm_hour, value.tm_min, value.tm_sec);
}

QString fingerprint(const QByteArray& der, QCryptographicHash::Algorithm algorithm)
{
    return QString::fromLatin1(QCryptographicHash::hash(der, algorithm).toHex(':').toUpper());
}

} // namespace

std::optional<CertificateSummary> CertificateSummary::read(const QByteArray& der)
{
    if (der.isEmpty() || der.size() > kMaxCertificateBytes) {
        return std::nullopt;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(der.constData());
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())), X509_free);
    if (!cert) {
        return std::nullopt;
    }
    CertificateSummary summary;
    summary.subject = nameLine(X509_get_subject_name(cert.get()));
    summary.issuer = nameLine(X509_get_issuer_name(cert.get()));
    summary.notBefore = timeText(X509_get0_notBefore(cert.get()));
    summary.notAfter = timeText(X509_get0_notAfter(cert.get()));
    summary.sha1 = fingerprint(der, QCryptographicHash::Sha1);
    summary.sha256 = fingerprint(der, QCryptographicHash::Sha256);
    // Self-signed: issued by its own name and its signature verifies with its own public key.
    EVP_PKEY* key = X509_get0_pubkey(cert.get());
    summary.selfSigned = X509_NAME_cmp(X509_get_subject_name(cert.get()), X509_get_issuer_name(cert.get())) == 0 &&
                         key && X509_verify(cert.get(), key) == 1;
    // A signature that does not verify leaves its reason behind; nobody reads it.
    ERR_clear_error();
    // Only an explicit basicConstraints CA:TRUE counts; an old certificate without the extension
    // is no authority for the desktop.
    const ConstraintsPtr constraints(
        static_cast<BASIC_CONSTRAINTS*>(X509_get_ext_d2i(cert.get(), NID_basic_constraints, nullptr, nullptr)),
        BASIC_CONSTRAINTS_free);
    summary.ca = constraints && constraints->ca != 0;
    return summary;
}

QString CertificateSummary::sha256Of(const QByteArray& der)
{
    return fingerprint(der, QCryptographicHash::Sha256);
}

} // namespace kx
