// SPDX-License-Identifier: Apache-2.0
#include "MonitorApplication.h"

#include "MonitorTray.h"
#include "TMainForm.h"
#include "common/widgets/SessionEnd.h"

#include "common/CommandChannel.h"
#include "common/LanguageTexts.h"
#include "common/StartupConfiguration.h"
#include "common/widgets/MessageBox.h"

#include <QApplication>

namespace kx::mon {

int RunMonitor(QApplication& app)
{
    if (CheckSingleInstance(QString::fromLatin1(kMonitorInstanceName))) {
        return 0;
    }
    QApplication::setApplicationName(QStringLiteral("KX2700Mon"));
    QApplication::setApplicationVersion(QStringLiteral(KX_VERSION ".0"));
    // Dialogs and message boxes come and go; only the exit entry or the session's end quits.
    QApplication::setQuitOnLastWindowClosed(false);
    const StartupConfiguration config = LoadStartupConfiguration();
    if (!config.error.isEmpty()) {
        InfoBox(nullptr, config.error);
        return 1;
    }
    WriteLanguageCSP(config.appInfo, config.languages, config.language.entry);
    QApplication::setWindowIcon(MainIcon());
    // No application display name: the window system would append it to every window title.

    SessionEnd session;
    TMainForm window;
    QObject::connect(&session, &SessionEnd::endQueried, &window, &TMainForm::sessionEndQueried);
    QObject::connect(&session, &SessionEnd::terminateRequested, &window, &TMainForm::sessionTerminated);
    QObject::connect(&session, &SessionEnd::displayLost, &window, &TMainForm::sessionDisplayLost, Qt::DirectConnection);
    // The window may already have given up (a failed library start closes it from a timer).
    return app.exec();
}

} // namespace kx::mon
