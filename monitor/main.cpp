// SPDX-License-Identifier: Apache-2.0
// KX2700Mon: the tray monitor.

#include "MonitorApplication.h"

#include "common/ProcessProtection.h"
#include "common/widgets/UiDriver.h"
#include "keyservice/KeyLanes.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[])
{
    // Before anything can hold a PIN.
    kx::ProtectProcessMemory();
    QApplication app(argc, argv);
    kx::UiDriver::startIfRequested(&app);
    const int code = kx::mon::RunMonitor(app);
    // A key that stopped answering may still hold a worker in the middle of a call; the process
    // ends without waiting for it.
    if (kx::KeyLanes::workersLeftRunning()) {
        std::fflush(nullptr);
        std::_Exit(code);
    }
    return code;
}
