// SPDX-License-Identifier: Apache-2.0
#include "SysVersion.h"

#include "common/AppContext.h"
#include "common/RegistryAccess.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

#include <sys/utsname.h>

#include <map>

namespace kx {

namespace {

constexpr int kBrowserAnswerMs = 3000;

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

struct BrowserAnswer
{
    QDateTime modified;
    QString text;
};

// Asks a browser executable for its version ("Chromium 120.0.6099.224 built on Debian ...",
// "Mozilla Firefox 115.6.0esr") and turns the answer into "<name> Version：<number>".
QString askBrowser(const QString& executable)
{
    // The answer is kept per executable while the file stays unchanged: starting a browser
    // takes long enough to be felt on every selection of the system check.
    static std::map<QString, BrowserAnswer> answers;
    const QFileInfo file(executable);
    if (auto it = answers.find(file.canonicalFilePath());
        it != answers.end() && it->second.modified == file.lastModified()) {
        return it->second.text;
    }
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(executable, {QStringLiteral("--version")});
    QString text;
    if (process.waitForStarted(kBrowserAnswerMs) && process.waitForFinished(kBrowserAnswerMs)) {
        const QString firstLine = QString::fromLocal8Bit(process.readAll()).section(QLatin1Char('\n'), 0, 0).trimmed();
        static const QRegularExpression named(QStringLiteral("^(.*?)\\s*(\\d+(?:\\.\\d+)+\\S*)"));
        if (const QRegularExpressionMatch match = named.match(firstLine); match.hasMatch()) {
            QString name = match.captured(1).trimmed();
            if (name.isEmpty()) {
                name = file.fileName();
            }
            text = name + QStringLiteral(" Version：") + match.captured(2);
        }
    } else {
        process.kill();
        process.waitForFinished(kBrowserAnswerMs);
    }
    answers[file.canonicalFilePath()] = BrowserAnswer{file.lastModified(), text};
    return text;
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
    const QStringList candidates = {QStringLiteral("x-www-browser"), QStringLiteral("firefox"),
                                    QStringLiteral("firefox-esr"),   QStringLiteral("chromium"),
                                    QStringLiteral("google-chrome"), QStringLiteral("epiphany")};
    for (const QString& candidate : candidates) {
        const QString executable = QStandardPaths::findExecutable(candidate);
        if (executable.isEmpty()) {
            continue;
        }
        if (const QString answer = askBrowser(executable); !answer.isEmpty()) {
            return answer;
        }
    }
    return QStringLiteral("Browser Version：");
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
