// SPDX-License-Identifier: Apache-2.0
#include "SystemCleanup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace kx::mon {

namespace {

// Files of /proc report a size of 0, so they are read with plain reads, at most one page: status
// and comm are short.
QByteArray readSmallFile(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    QByteArray bytes(4096, Qt::Uninitialized);
    qsizetype filled = 0;
    while (filled < bytes.size()) {
        const ssize_t got = ::read(fd, bytes.data() + filled, static_cast<size_t>(bytes.size() - filled));
        if (got <= 0) {
            break;
        }
        filled += got;
    }
    ::close(fd);
    bytes.truncate(filled);
    return bytes;
}

} // namespace

long ProcessRealUid(pid_t pid)
{
    const QByteArray status = readSmallFile(QStringLiteral("/proc/%1/status").arg(pid));
    for (const QByteArray& line : status.split('\n')) {
        if (line.startsWith("Uid:")) {
            const QList<QByteArray> fields = line.mid(4).simplified().split(' ');
            bool ok = false;
            const long uid = fields.isEmpty() ? -1 : fields.first().toLong(&ok);
            return ok ? uid : -1;
        }
    }
    return -1;
}

QString ProcessExecutableName(pid_t pid)
{
    const QString target = QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget();
    if (!target.isEmpty()) {
        QString name = QFileInfo(target).fileName();
        // A running program whose file was replaced or removed shows " (deleted)".
        const QString deleted = QStringLiteral(" (deleted)");
        if (name.endsWith(deleted)) {
            name.chop(deleted.size());
        }
        return name;
    }
    return QString::fromUtf8(readSmallFile(QStringLiteral("/proc/%1/comm").arg(pid))).trimmed();
}

int EndUserProcesses(const QString& name, bool force)
{
    if (name.isEmpty()) {
        return 0;
    }
    const long me = static_cast<long>(::getuid());
    const pid_t self = ::getpid();
    int signalled = 0;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool ok = false;
        const pid_t pid = static_cast<pid_t>(entry.toLong(&ok));
        if (!ok || pid <= 0 || pid == self) {
            continue;
        }
        if (ProcessRealUid(pid) != me) {
            continue;
        }
        const bool fromExe = !QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget().isEmpty();
        const QString executable = ProcessExecutableName(pid);
        const bool matches = fromExe ? executable == name : (name.size() <= 15 && executable == name);
        if (matches && ::kill(pid, force ? SIGKILL : SIGTERM) == 0) {
            ++signalled;
        }
    }
    return signalled;
}

void EmptyTlsSessionCache() {}

void IncrementUrlCacheHeader() {}

bool RegisterSessionNotification()
{
    return false;
}

void UnregisterSessionNotification() {}

} // namespace kx::mon
