// SPDX-License-Identifier: Apache-2.0
// KX2700Mon: the tray monitor.

#include "MonitorApplication.h"

#include "common/ProcessProtection.h"
#include "common/widgets/UiDriver.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    // Before anything can hold a PIN.
    kx::ProtectProcessMemory();
    QApplication app(argc, argv);
    kx::UiDriver::startIfRequested(&app);
    return kx::mon::RunMonitor(app);
}
