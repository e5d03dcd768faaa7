// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QObject>
#include <QString>

namespace kx {
class CommandEndpoint;
}

namespace kx::mon {

// The commands other programs send the monitor's window class "kx2700_TrayIcon": "RegCert" and
// "Update", in any case; every other text is ignored. The system's close command hides the
// window unless an exit was asked for.
class MonitorCommands : public QObject
{
    Q_OBJECT

public:
    explicit MonitorCommands(QObject* parent);

    void handleCommand(const QString& text);

Q_SIGNALS:
    void regCertRequested();
    void updateRequested();
    void closeRequested();

private:
    CommandEndpoint* m_endpoint;
};

} // namespace kx::mon
