// SPDX-License-Identifier: Apache-2.0
#include "CertRegistration.h"

#include "TokenApi.h"
#include "TokenWrappers.h"

#include "common/TextFormat.h"

#include "platform/CertStore.h"

#include <algorithm>
#include <memory>

namespace kx {

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
    const int loaded = LoadContainerNames(keyIndex, info);
    if (loaded != 0) {
        return loaded;
    }
    const auto cert = std::make_unique<TR7CertInfo>();
    const int containers = std::clamp(info.containerCount, 0, static_cast<int>(info.containerNames.size()));
    for (int i = 0; i < containers; ++i) {
        const QByteArray& name = info.containerNames[static_cast<std::size_t>(i)];
        for (const int keySpec : {kKeySpecExchange, kKeySpecSignature}) {
            if (ReadContainerCert(keyIndex, name, keySpec, *cert) != 0) {
                continue;
            }
            if (cert->certType == kCertRoot) {
                helper_add_root_cert_to_store(QStringLiteral("ROOT"), cert->der());
                continue;
            }
            if (cert->certType == kCertCA) {
                helper_add_root_cert_to_store(QStringLiteral("CA"), cert->der());
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
        }
    }
    return 0;
}

QString RegistrationFailureText(int result)
{
    QString text = FormatInt(QStringLiteral("注册证书失败，错误码 =%d"), result);
    const auto storeFailed = [result](int code) { return result == 10000 + code || result == 20000 + code; };
    if (storeFailed(DRV_STORE_FULL)) {
        text += QStringLiteral("（磁盘已满，证书存储区无法写入）");
    } else if (storeFailed(DRV_STORE_DENIED)) {
        text += QStringLiteral("（没有写入证书存储区的权限）");
    }
    return text;
}

int RemoveStoreCertsOfCSP(const QString& cspName)
{
    try {
        platform::CertStore store(platform::CertStore::defaultRoot());
        const std::string provider = cspName.toLocal8Bit().toStdString();
        for (const auto& certificate : store.list("MY")) {
            if (certificate.keyProv && certificate.keyProv->provider == provider) {
                store.remove("MY", certificate.thumbprint);
            }
        }
    } catch (...) {
        // A store that cannot be read leaves everything as it was.
    }
    return 0;
}

} // namespace kx
