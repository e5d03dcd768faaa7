// SPDX-License-Identifier: Apache-2.0
#include "UserFolder.h"

#include "AppContext.h"

#include <QDir>

namespace kx {

QString UserFolder(const QString& subFolder)
{
    QString path = AppContext::current().appDataFolder();
    while (path.size() > 1 && path.endsWith(QLatin1Char('/'))) {
        path.chop(1);
    }
    const QStringList parts = toSlashes(subFolder).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        path += QLatin1Char('/') + part;
    }
    QDir().mkpath(path);
    return path + QLatin1Char('/');
}

} // namespace kx
