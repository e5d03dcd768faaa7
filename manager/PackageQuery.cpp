// SPDX-License-Identifier: Apache-2.0
#include "PackageQuery.h"

#include <QFileInfo>
#include <QProcess>
#include <QTimer>

namespace kx {

PackageQuery::PackageQuery(QObject* parent) : QObject(parent), m_timeout(new QTimer(this))
{
    m_timeout->setSingleShot(true);
    m_timeout->setInterval(kTimeoutMs);
    connect(m_timeout, &QTimer::timeout, this, [this] { finish(QString(), QString()); });
}

PackageQuery::~PackageQuery()
{
    if (m_process) {
        m_process->disconnect(this);
        m_process->kill();
        m_process->waitForFinished(1000);
    }
}

bool PackageQuery::running() const
{
    return m_process != nullptr;
}

QStringList PackageQuery::candidatePaths(const QString& file)
{
    QStringList paths{file};
    const QString real = QFileInfo(file).canonicalFilePath();
    if (!real.isEmpty() && !paths.contains(real)) {
        paths.append(real);
    }
    // On a merged /usr the packages list /lib and /bin paths that the loader reaches as /usr/...
    for (const QString& path : QStringList(paths)) {
        for (const char* merged : {"/usr/lib/", "/usr/bin/", "/usr/sbin/"}) {
            if (path.startsWith(QLatin1String(merged))) {
                paths.append(path.mid(4));
            }
        }
    }
    return paths;
}

QString PackageQuery::packageOfAnswer(const QString& answer)
{
    for (const QString& line : answer.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (line.startsWith(QLatin1String("diversion "))) {
            continue;
        }
        const int separator = line.indexOf(QLatin1String(": "));
        if (separator <= 0) {
            continue;
        }
        // The first package of a shared file, without its architecture.
        return line.left(separator).section(QLatin1Char(','), 0, 0).section(QLatin1Char(':'), 0, 0).trimmed();
    }
    return {};
}

void PackageQuery::ask(const QString& file)
{
    if (m_process) {
        m_process->disconnect(this);
        m_process->kill();
        m_process->deleteLater();
        m_process = nullptr;
    }
    m_package.clear();
    if (file.isEmpty()) {
        finish(QString(), QString());
        return;
    }
    run(QStringList{QStringLiteral("-S")} + candidatePaths(file));
}

void PackageQuery::run(const QStringList& arguments)
{
    m_process = new QProcess(this);
    m_process->setProcessChannelMode(QProcess::SeparateChannels);
    connect(m_process, &QProcess::finished, this, &PackageQuery::finishedStep);
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            finish(QString(), QString());
        }
    });
    m_timeout->start();
    m_process->start(QStringLiteral("dpkg-query"), arguments);
}

void PackageQuery::finishedStep()
{
    const QString output = QString::fromLocal8Bit(m_process->readAllStandardOutput());
    m_process->deleteLater();
    m_process = nullptr;
    if (m_package.isEmpty()) {
        m_package = packageOfAnswer(output);
        if (m_package.isEmpty()) {
            finish(QString(), QString());
        } else {
            run({QStringLiteral("-W"), QStringLiteral("-f=${Version}"), m_package});
        }
        return;
    }
    finish(m_package, output.trimmed());
}

void PackageQuery::finish(const QString& package, const QString& version)
{
    m_timeout->stop();
    if (m_process) {
        m_process->disconnect(this);
        m_process->kill();
        m_process->deleteLater();
        m_process = nullptr;
    }
    emit answered(version.isEmpty() ? QString() : package, version);
}

} // namespace kx
