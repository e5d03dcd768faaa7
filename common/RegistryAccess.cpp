// SPDX-License-Identifier: Apache-2.0
#include "RegistryAccess.h"

#include "AppContext.h"

#include "platform/Registry.h"

#include <QFile>

namespace kx {

namespace {

platform::Registry currentRegistry()
{
    return platform::Registry(QFile::encodeName(AppContext::current().registryFolder()).toStdString());
}

} // namespace

int RegWriteString(const QString& rootName, const QString& keyPath, const QString& valueName, const QString& value)
{
    const auto root = platform::registryRootFromName(rootName.toStdString());
    return currentRegistry().writeString(root, keyPath.toStdString(), valueName.toStdString(), value.toStdString());
}

std::optional<QString> RegReadString(const QString& rootName, const QString& keyPath, const QString& valueName)
{
    const auto root = platform::registryRootFromName(rootName.toStdString());
    const auto value = currentRegistry().readString(root, keyPath.toStdString(), valueName.toStdString());
    if (!value) {
        return std::nullopt;
    }
    return QString::fromStdString(*value);
}

QString CSPInstalled(const QString& cspName)
{
    const QString key = QStringLiteral("SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\") + cspName;
    if (cspName.isEmpty()) {
        return QString();
    }
    return currentRegistry().keyExists(platform::RegistryRoot::LocalMachine, key.toStdString()) ? cspName : QString();
}

} // namespace kx
