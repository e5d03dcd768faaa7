// SPDX-License-Identifier: Apache-2.0
#include "SysVersion.h"

#include "common/AppContext.h"
#include "common/RegistryAccess.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

#include <sys/utsname.h>

#include <map>

namespace kx {

namespace {

QString unquoted(QString value)
{
    value = value.trimmed();
    if (value.size() >= 2 && (value.front() == QLatin1Char('"') || value.front() == QLatin1Char('\'')) &&
        value.back() == value.front()) {
        value = value.mid(1, value.size() - 2);
    }
    return value;
}

QString machineName()
{
    utsname name{};
    if (uname(&name) != 0) {
        return QString();
    }
    return QString::fromLocal8Bit(name.machine);
}

// Four dot-separated numbers from one to four given ones.
QString fourPartVersion(const QStringList& parts)
{
    QStringList numbers = parts.mid(0, 4);
    while (numbers.size() < 4) {
        numbers.append(QStringLiteral("0"));
    }
    return numbers.join(QLatin1Char('.'));
}

QString versionOfFileName(const QString& fileName)
{
    static const QRegularExpression soVersion(QStringLiteral("\\.so((?:\\.\\d+)+)$"));
    const QRegularExpressionMatch match = soVersion.match(fileName);
    if (!match.hasMatch()) {
        return QString();
    }
    return fourPartVersion(match.captured(1).mid(1).split(QLatin1Char('.')));
}

// The lines of section `section` of a desktop-entry style file, as key and value.
std::map<QString, QString> sectionOf(const QString& path, const QString& section)
{
    std::map<QString, QString> entries;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return entries;
    }
    bool inside = false;
    // The files are small; a bound keeps a wrong file harmless.
    for (const QString& raw : QString::fromUtf8(file.read(256 * 1024)).split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inside = line == QLatin1Char('[') + section + QLatin1Char(']');
        } else if (inside && line.contains(QLatin1Char('=')) && !line.startsWith(QLatin1Char('#'))) {
            entries.emplace(line.section(QLatin1Char('='), 0, 0).trimmed(),
                            line.section(QLatin1Char('='), 1).trimmed());
        }
    }
    return entries;
}

QStringList searchFolders(const char* homeVariable, const QString& homeDefault, const char* dirsVariable,
                          const QString& dirsDefault)
{
    QString home = qEnvironmentVariable(homeVariable);
    if (home.isEmpty()) {
        home = QDir::homePath() + homeDefault;
    }
    QString dirs = qEnvironmentVariable(dirsVariable);
    if (dirs.isEmpty()) {
        dirs = dirsDefault;
    }
    return QStringList{home} + dirs.split(QLatin1Char(':'), Qt::SkipEmptyParts);
}

// The desktop entries that handle web addresses, the user's choice first.
QStringList webHandlers()
{
    QStringList lists;
    for (const QString& folder :
         searchFolders("XDG_CONFIG_HOME", QStringLiteral("/.config"), "XDG_CONFIG_DIRS", QStringLiteral("/etc/xdg"))) {
        lists << folder + QStringLiteral("/mimeapps.list");
    }
    const QStringList data = searchFolders("XDG_DATA_HOME", QStringLiteral("/.local/share"), "XDG_DATA_DIRS",
                                           QStringLiteral("/usr/local/share:/usr/share"));
    for (const QString& folder : data) {
        lists << folder + QStringLiteral("/applications/mimeapps.list");
    }
    for (const QString& folder : data) {
        lists << folder + QStringLiteral("/applications/defaults.list");
    }
    QStringList handlers;
    for (const QString& list : lists) {
        const auto entries = sectionOf(list, QStringLiteral("Default Applications"));
        if (const auto it = entries.find(QStringLiteral("x-scheme-handler/http")); it != entries.end()) {
            handlers += it->second.split(QLatin1Char(';'), Qt::SkipEmptyParts);
        }
    }
    return handlers;
}

// The program an Exec line starts, found on the PATH.
QString programOfExec(const QString& exec)
{
    QStringList words = exec.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (!words.isEmpty() && words.first() == QLatin1String("env")) {
        words.removeFirst();
        while (!words.isEmpty() && words.first().contains(QLatin1Char('='))) {
            words.removeFirst();
        }
    }
    if (words.isEmpty()) {
        return {};
    }
    QString program = words.first();
    program.remove(QLatin1Char('"'));
    return QDir::isAbsolutePath(program) ? program : QStandardPaths::findExecutable(program);
}

} // namespace

QString OSName(const QString& osRelease)
{
    QString pretty;
    QString name;
    QString version;
    QFile file(osRelease);
    if (file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        // The file is small; a bound keeps a wrong path (a device, a huge file) harmless.
        const QStringList lines = QString::fromUtf8(file.read(64 * 1024)).split(QLatin1Char('\n'));
        for (const QString& line : lines) {
            const QString key = line.section(QLatin1Char('='), 0, 0).trimmed();
            const QString value = unquoted(line.section(QLatin1Char('='), 1));
            if (key == QLatin1String("PRETTY_NAME")) {
                pretty = value;
            } else if (key == QLatin1String("NAME")) {
                name = value;
            } else if (key == QLatin1String("VERSION")) {
                version = value;
            }
        }
    }
    if (pretty.isEmpty()) {
        pretty = (name + QLatin1Char(' ') + version).trimmed();
    }
    if (pretty.isEmpty()) {
        pretty = QStringLiteral("Linux ?");
    }
    const QString machine = machineName();
    return machine.isEmpty() ? pretty : pretty + QStringLiteral(" (") + machine + QLatin1Char(')');
}

QString IEVersion()
{
    const QString root = QStringLiteral("HKEY_LOCAL_MACHINE");
    const QString key = QStringLiteral("Software\\Microsoft\\Internet Explorer");
    for (const QString& value : {QStringLiteral("svcVersion"), QStringLiteral("Version")}) {
        if (const auto version = RegReadString(root, key, value)) {
            return QStringLiteral("Internet Explorer Version：") + *version;
        }
    }
    return {};
}

BrowserInfo DefaultBrowser()
{
    for (const QString& handler : webHandlers()) {
        const QString entry = QStandardPaths::locate(QStandardPaths::ApplicationsLocation, handler);
        if (entry.isEmpty()) {
            continue;
        }
        const auto fields = sectionOf(entry, QStringLiteral("Desktop Entry"));
        const auto name = fields.find(QStringLiteral("Name"));
        const auto exec = fields.find(QStringLiteral("Exec"));
        if (exec == fields.end()) {
            continue;
        }
        BrowserInfo browser;
        browser.executable = programOfExec(exec->second);
        browser.name = name != fields.end() ? name->second : QFileInfo(browser.executable).fileName();
        if (!browser.executable.isEmpty()) {
            return browser;
        }
    }
    // No desktop entry: the system's choice of browser program.
    BrowserInfo browser;
    browser.executable = QStandardPaths::findExecutable(QStringLiteral("x-www-browser"));
    browser.name = QFileInfo(QFileInfo(browser.executable).canonicalFilePath()).fileName();
    return browser;
}

QString FileVersionText(const QString& path)
{
    if (path.isEmpty()) {
        return QString();
    }
    const QFileInfo file(path);
    if (!file.exists()) {
        return QString();
    }
    const QFileInfo real(file.canonicalFilePath());
    if (!real.isFile() || !real.isReadable()) {
        return QStringLiteral("-1");
    }
    if (const QString version = versionOfFileName(real.fileName()); !version.isEmpty()) {
        return version;
    }
    // Our own libraries are not versioned by name; they belong to this release of the programs.
    const QString folder = real.absolutePath();
    if (folder == QFileInfo(AppContext::current().executableFolder()).canonicalFilePath() ||
        folder == QFileInfo(QCoreApplication::applicationDirPath()).canonicalFilePath()) {
        const QStringList parts = QCoreApplication::applicationVersion().split(QLatin1Char('.'), Qt::SkipEmptyParts);
        return parts.isEmpty() ? QString() : fourPartVersion(parts);
    }
    return QString();
}

} // namespace kx
