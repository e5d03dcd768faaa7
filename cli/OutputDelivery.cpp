// SPDX-License-Identifier: Apache-2.0
#include "OutputDelivery.h"

#include "platform/FileUtil.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace kx::cli {

void DeliverBytes(CliContext& context, const QByteArray& bytes, bool pem, QJsonObject fields, const QString& what)
{
    const CliOptions& options = context.options;
    fields.insert(QStringLiteral("format"), pem ? QStringLiteral("pem") : QStringLiteral("der"));
    fields.insert(QStringLiteral("bytes"), static_cast<int>(bytes.size()));
    if (options.output) {
        const QByteArray path = QFile::encodeName(*options.output);
        if (!platform::writeFileAtomic(path.toStdString(), std::string_view(bytes.constData(), bytes.size()), 0644)) {
            context.report.fail(ExitCode::BadInput,
                                QStringLiteral("cannot write %1: %2")
                                    .arg(*options.output, QString::fromLocal8Bit(std::strerror(errno))));
            return;
        }
        fields.insert(QStringLiteral("file"), *options.output);
        context.report.succeed(fields, QStringLiteral("%1 written to %2\n").arg(what, *options.output));
        return;
    }
    if (context.report.json()) {
        // One JSON document on standard output: the bytes go inside it.
        fields.insert(QStringLiteral("data"), pem ? QString::fromLatin1(bytes) : QString::fromLatin1(bytes.toBase64()));
        context.report.succeed(fields, {});
        return;
    }
    if (!pem && ::isatty(STDOUT_FILENO)) {
        context.report.fail(ExitCode::BadInput, QStringLiteral("DER is binary: name a file with -o or use --pem"));
        return;
    }
    if (!WriteAll(STDOUT_FILENO, bytes)) {
        context.report.fail(
            ExitCode::BadInput,
            QStringLiteral("cannot write to standard output: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        return;
    }
    context.report.succeed(fields, {});
}

} // namespace kx::cli
