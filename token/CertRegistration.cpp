// SPDX-License-Identifier: Apache-2.0
#include "CertRegistration.h"

#include "CertificateSummary.h"
#include "DesktopRegistration.h"
#include "RootDecisions.h"
#include "TokenApi.h"
#include "TokenWrappers.h"

#include "common/LanguageTexts.h"
#include "common/TextFormat.h"

#include "platform/CertStore.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <span>

namespace kx {

namespace {

// Removes the personal certificates bound to `cspName` that `unwanted` picks (given the
// container's bytes and the certificate's thumbprint). The provider is compared in the 8-bit form
// the token library writes it in.
int removeBoundCertificates(
    const QString& cspName,
    const std::function<bool(const QByteArray& container, const std::string& thumbprint)>& unwanted)
{
    try {
        platform::CertStore store(platform::CertStore::defaultRoot());
        const std::string provider = cspName.toLocal8Bit().toStdString();
        int result = 0;
        for (const auto& certificate : store.list("MY")) {
            if (!certificate.keyProv || certificate.keyProv->provider != provider) {
                continue;
            }
            const std::string& container = certificate.keyProv->container;
            if (unwanted(QByteArray(container.data(), static_cast<qsizetype>(container.size())),
                         certificate.thumbprint) &&
                store.remove("MY", certificate.thumbprint) != 0) {
                result = DRV_STORE_ERROR;
            }
        }
        return result;
    } catch (...) {
        // A store that cannot be read leaves everything as it was.
        return DRV_STORE_ERROR;
    }
}

// Hands a key's authority to the desktop's NSS databases: an intermediate CA without trust; a
// root only once the user agreed to trust it, and one the user has not answered for yet goes to
// `undecidedRoots` for the program to ask. A certificate that is no CA (also a self-signed one)
// is never an authority there.
void offerAuthority(const QByteArray& der, QList<QByteArray>& undecidedRoots)
{
    DesktopRegistration& desktop = DesktopRegistration::instance();
    if (!desktop.settings().enabled) {
        return;
    }
    const std::optional<CertificateSummary> summary = CertificateSummary::read(der);
    if (!summary || !summary->ca) {
        return;
    }
    if (summary->intermediate()) {
        desktop.addAuthority(der, false);
        return;
    }
    switch (RootDecisions().decision(summary->sha256)) {
    case RootDecisions::Decision::Trusted:
        desktop.addAuthority(der, true);
        break;
    case RootDecisions::Decision::Undecided:
        if (!undecidedRoots.contains(der)) {
            undecidedRoots.append(der);
        }
        break;
    case RootDecisions::Decision::Refused:
        break;
    }
}

} // namespace

bool ShouldRegisterEndEntity(int regCertMode, int keySpec, int keyAlgorithm)
{
    // Modes 1 and 2 register only key pairs known not to be ECC; a key pair whose public key
    // cannot be read is not known, so it is left out.
    const bool knownNotEcc = keyAlgorithm >= 0 && keyAlgorithm != kKeyAlgorithmECC;
    switch (regCertMode) {
    case 0:
        return true;
    case 1:
        return knownNotEcc;
    case 2:
        return keySpec == kKeySpecSignature && knownNotEcc;
    default:
        return false;
    }
}

int RegisterKeyCertificates(int keyIndex, TR7Info& info, const QString& cspName, int regCertMode)
{
    std::optional<QSet<QByteArray>> containers;
    QList<QByteArray> undecidedRoots;
    return RegisterKeyCertificates(keyIndex, info, cspName, regCertMode, containers, undecidedRoots);
}

int RegisterKeyCertificates(int keyIndex, TR7Info& info, const QString& cspName, int regCertMode,
                            std::optional<QSet<QByteArray>>& containers, QList<QByteArray>& undecidedRoots)
{
    containers.reset();
    undecidedRoots.clear();
    const int loaded = LoadContainerNames(keyIndex, info);
    if (loaded != 0) {
        return loaded;
    }
    const std::size_t count =
        static_cast<std::size_t>(std::clamp(info.containerCount, 0, static_cast<int>(info.containerNames.size())));
    const std::span<const QByteArray> names(info.containerNames.data(), count);
    containers = QSet<QByteArray>(names.begin(), names.end());
    const auto cert = std::make_unique<TR7CertInfo>();
    for (const QByteArray& name : names) {
        for (const int keySpec : {kKeySpecExchange, kKeySpecSignature}) {
            if (ReadContainerCert(keyIndex, name, keySpec, *cert) != 0) {
                continue;
            }
            if (cert->certType == kCertRoot || cert->certType == kCertCA) {
                const QByteArray der = cert->der();
                helper_add_root_cert_to_store(
                    cert->certType == kCertRoot ? QStringLiteral("ROOT") : QStringLiteral("CA"), der);
                offerAuthority(der, undecidedRoots);
                continue;
            }
            int keyAlgorithm = -1;
            if (container_get_pubkey(keyIndex, name, keySpec, keyAlgorithm) != 0) {
                keyAlgorithm = -1;
            }
            if (!ShouldRegisterEndEntity(regCertMode, keySpec, keyAlgorithm)) {
                continue;
            }
            const int added = container_addcert_to_store(name, cspName, keySpec, cert->der());
            if (added != 0) {
                return (keySpec == kKeySpecExchange ? 10000 : 20000) + added;
            }
            // The desktop's programs reach the certificate through the key's module.
            DesktopRegistration::instance().registerModule();
        }
    }
    return 0;
}

QString RegistrationFailureText(int result)
{
    QString text = FormatInt(Lang("K_Reg_Failed"), result);
    const auto storeFailed = [result](int code) { return result == 10000 + code || result == 20000 + code; };
    if (storeFailed(DRV_STORE_FULL)) {
        text += Lang("K_Reg_DiskFull");
    } else if (storeFailed(DRV_STORE_DENIED)) {
        text += Lang("K_Reg_NoRight");
    }
    return text;
}

int RemoveStoreCertsOfCSP(const QString& cspName)
{
    removeBoundCertificates(cspName, [](const QByteArray&, const std::string&) { return true; });
    return 0;
}

int RemoveStoreCertsOfAbsentContainers(const QString& cspName, const QSet<QByteArray>& presentContainers)
{
    return removeBoundCertificates(cspName, [&](const QByteArray& container, const std::string&) {
        return !presentContainers.contains(container);
    });
}

int RemoveStoreCertsOfContainer(const QString& cspName, const QByteArray& container, std::optional<QByteArray> der)
{
    std::optional<std::string> thumbprint;
    if (der) {
        thumbprint = platform::CertStore::thumbprintOf(
            std::span(reinterpret_cast<const std::uint8_t*>(der->constData()), static_cast<std::size_t>(der->size())));
    }
    return removeBoundCertificates(cspName, [&](const QByteArray& bound, const std::string& stored) {
        return bound == container && (!thumbprint || *thumbprint == stored);
    });
}

} // namespace kx
