// SPDX-License-Identifier: Apache-2.0
#include "MonitorCommands.h"

#include "common/CommandChannel.h"

namespace kx::mon {

MonitorCommands::MonitorCommands(QObject* parent)
    : QObject(parent), m_endpoint(new CommandEndpoint(QString::fromLatin1(kMonitorWindowClass), this))
{
    connect(m_endpoint, &CommandEndpoint::commandReceived, this, &MonitorCommands::handleCommand);
    connect(m_endpoint, &CommandEndpoint::systemCommandReceived, this, [this](quint32 command) {
        if (command == SC_CLOSE) {
            Q_EMIT closeRequested();
        }
    });
}

void MonitorCommands::handleCommand(const QString& text)
{
    const QString command = text.toLower();
    if (command == QStringLiteral("regcert")) {
        Q_EMIT regCertRequested();
    } else if (command == QStringLiteral("update")) {
        Q_EMIT updateRequested();
    }
}

} // namespace kx::mon
