// SPDX-License-Identifier: Apache-2.0
#include "LibraryFile.h"

#include "common/AppContext.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <dlfcn.h>
#include <link.h>

namespace kx {

namespace {

QString loadedLibraryPath(const QString& name)
{
    void* handle = dlopen(QFile::encodeName(name).constData(), RTLD_LAZY | RTLD_NOLOAD);
    if (!handle) {
        return QString();
    }
    QString path;
    link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name && *map->l_name) {
        path = QFile::decodeName(map->l_name);
    }
    dlclose(handle);
    return path;
}

QStringList loaderFolders()
{
    QStringList folders;
    for (const QString& folder : qEnvironmentVariable("LD_LIBRARY_PATH").split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        folders.append(folder);
    }
#if defined(__x86_64__)
    const QString triplet = QStringLiteral("x86_64-linux-gnu");
#elif defined(__aarch64__)
    const QString triplet = QStringLiteral("aarch64-linux-gnu");
#else
    const QString triplet;
#endif
    if (!triplet.isEmpty()) {
        folders << QStringLiteral("/usr/local/lib/") + triplet << QStringLiteral("/lib/") + triplet
                << QStringLiteral("/usr/lib/") + triplet;
    }
    folders << QStringLiteral("/usr/local/lib") << QStringLiteral("/lib64") << QStringLiteral("/usr/lib64")
            << QStringLiteral("/lib") << QStringLiteral("/usr/lib");
    return folders;
}

} // namespace

QString LibraryFile(const QString& configured)
{
    const QString name = toSlashes(configured.trimmed());
    if (name.isEmpty()) {
        return QString();
    }
    if (QDir::isAbsolutePath(name)) {
        return QFileInfo::exists(name) ? name : QString();
    }
    const QString beside = pathBesideExecutable(name);
    if (name.contains(QLatin1Char('/'))) {
        return QFileInfo::exists(beside) ? beside : QString();
    }
    if (QFileInfo(beside).isFile()) {
        return beside;
    }
    if (const QString loaded = loadedLibraryPath(name); !loaded.isEmpty()) {
        return loaded;
    }
    for (const QString& folder : loaderFolders()) {
        const QString candidate = folder + QLatin1Char('/') + name;
        if (QFileInfo(candidate).isFile()) {
            return candidate;
        }
    }
    return QString();
}

QString LoadableLibrary(const QString& configured)
{
    const QString name = toSlashes(configured.trimmed());
    if (name.isEmpty() || QDir::isAbsolutePath(name)) {
        return name;
    }
    const QString beside = pathBesideExecutable(name);
    return QFileInfo(beside).isFile() ? beside : name;
}

QString CanonicalFile(const QString& path)
{
    const QString real = QFileInfo(path).canonicalFilePath();
    return real.isEmpty() ? path : real;
}

} // namespace kx
