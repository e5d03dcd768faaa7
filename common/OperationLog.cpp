// SPDX-License-Identifier: Apache-2.0
#include "OperationLog.h"

#include "AppContext.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace kx {

QString OperationLogPath(const QDate& day)
{
    return AppContext::current().logFolder() + QStringLiteral("/QZ_MonLog") + day.toString(QStringLiteral("yyyyMMdd")) +
           QStringLiteral(".txt");
}

void LogLine(const QString& text)
{
    const AppContext& context = AppContext::current();
    if (!QFileInfo(context.logFolder()).isDir()) {
        return;
    }
    const QDateTime now = context.now();
    const QByteArray path = QFile::encodeName(OperationLogPath(now.date()));
    const QByteArray line =
        (now.time().toString(QStringLiteral("HH:mm:ss")) + QStringLiteral("> ") + text + QStringLiteral("\r\n"))
            .toUtf8();
    const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return;
    }
    qsizetype done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd, line.constData() + done, static_cast<size_t>(line.size() - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += n;
    }
    ::close(fd);
}

} // namespace kx
