// SPDX-License-Identifier: Apache-2.0
#include "CliReport.h"

#include <QJsonDocument>

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace kx::cli {

namespace {

void writeOut(std::FILE* stream, const QByteArray& bytes)
{
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

bool WriteAll(int fd, const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, static_cast<std::size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += n;
    }
    return true;
}

QString ExitCodeName(ExitCode code)
{
    switch (code) {
    case ExitCode::Ok:
        return QStringLiteral("ok");
    case ExitCode::Failed:
        return QStringLiteral("failed");
    case ExitCode::BadInput:
        return QStringLiteral("bad-input");
    case ExitCode::NoKey:
        return QStringLiteral("no-key");
    case ExitCode::WrongPin:
        return QStringLiteral("wrong-pin");
    case ExitCode::PinLocked:
        return QStringLiteral("pin-locked");
    case ExitCode::DeviceError:
        return QStringLiteral("device-error");
    }
    return QStringLiteral("failed");
}

CliReport::CliReport(QString command, bool json) : m_command(std::move(command)), m_json(json) {}

void CliReport::fail(ExitCode code, const QString& message, int triesLeft, int deviceCode)
{
    m_code = code;
    m_message = message;
    m_triesLeft = triesLeft;
    m_deviceCode = deviceCode;
}

void CliReport::succeed(const QJsonObject& fields, const QString& text)
{
    m_code = ExitCode::Ok;
    m_fields = fields;
    m_text = text;
}

int CliReport::finish() const
{
    if (m_json) {
        QJsonObject out = m_fields;
        out.insert(QStringLiteral("command"), m_command);
        out.insert(QStringLiteral("ok"), m_code == ExitCode::Ok);
        out.insert(QStringLiteral("exitCode"), static_cast<int>(m_code));
        if (m_code != ExitCode::Ok) {
            QJsonObject error{{QStringLiteral("kind"), ExitCodeName(m_code)}, {QStringLiteral("message"), m_message}};
            if (m_code == ExitCode::WrongPin) {
                error.insert(QStringLiteral("triesLeft"), m_triesLeft >= 0 ? QJsonValue(m_triesLeft) : QJsonValue());
            }
            if (m_deviceCode != 0) {
                error.insert(QStringLiteral("deviceCode"),
                             QStringLiteral("0x%1").arg(static_cast<unsigned>(m_deviceCode), 8, 16, QLatin1Char('0')));
            }
            out.insert(QStringLiteral("error"), error);
        }
        writeOut(stdout, QJsonDocument(out).toJson(QJsonDocument::Indented));
    } else if (m_code == ExitCode::Ok) {
        if (!m_text.isEmpty()) {
            writeOut(stdout, m_text.toLocal8Bit());
        }
    }
    if (m_code != ExitCode::Ok) {
        QString line = QStringLiteral("kx2700: ") + m_message;
        if (m_deviceCode != 0) {
            line += QStringLiteral(" (code 0x%1)").arg(static_cast<unsigned>(m_deviceCode), 8, 16, QLatin1Char('0'));
        }
        writeOut(stderr, (line + QLatin1Char('\n')).toLocal8Bit());
    }
    return static_cast<int>(m_code);
}

} // namespace kx::cli
