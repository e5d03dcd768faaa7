// SPDX-License-Identifier: Apache-2.0
#include "MozillaProfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace kx {

namespace {

// The folders that hold a profiles.ini, relative to the home folder.
const char* const kProfileRoots[] = {
    ".mozilla/firefox",
    ".thunderbird",
    "snap/firefox/common/.mozilla/firefox",
    "snap/thunderbird/common/.thunderbird",
    ".var/app/org.mozilla.firefox/.mozilla/firefox",
    ".var/app/org.mozilla.Thunderbird/.thunderbird",
};

// The Path values of the [Profile...] sections of one profiles.ini, made absolute.
QStringList profilesOf(const QString& root)
{
    QStringList found;
    QFile file(root + QStringLiteral("/profiles.ini"));
    if (!file.open(QIODevice::ReadOnly)) {
        return found;
    }
    bool inProfile = false;
    QString path;
    bool relative = true;
    auto flush = [&] {
        if (inProfile && !path.isEmpty()) {
            found.append(relative ? QDir(root).absoluteFilePath(path) : path);
        }
        path.clear();
        relative = true;
    };
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            flush();
            inProfile = line.startsWith(QStringLiteral("[Profile"), Qt::CaseInsensitive);
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0) {
            continue;
        }
        const QString key = line.left(equals).trimmed();
        const QString value = line.mid(equals + 1).trimmed();
        if (key.compare(QStringLiteral("Path"), Qt::CaseInsensitive) == 0) {
            path = value;
        } else if (key.compare(QStringLiteral("IsRelative"), Qt::CaseInsensitive) == 0) {
            relative = value != QStringLiteral("0");
        }
    }
    flush();
    return found;
}

} // namespace

QStringList MozillaProfiles(const QString& home)
{
    QStringList profiles;
    for (const char* root : kProfileRoots) {
        for (const QString& profile : profilesOf(home + QLatin1Char('/') + QLatin1String(root))) {
            const QString folder = QDir::cleanPath(profile);
            if (QFileInfo::exists(folder + QStringLiteral("/cert9.db")) && !profiles.contains(folder)) {
                profiles.append(folder);
            }
        }
    }
    return profiles;
}

} // namespace kx
