// SPDX-License-Identifier: Apache-2.0
#include "ManagerApplication.h"

#include "TMainForm.h"
#include "TreeIcons.h"

#include "common/CommandChannel.h"
#include "common/LanguageTexts.h"
#include "common/StartupConfiguration.h"
#include "common/widgets/MessageBox.h"
#include "common/widgets/SessionEnd.h"

#include <QApplication>
#include <QIcon>

namespace kx {

int RunManager(QApplication& app)
{
    QApplication::setApplicationName(QStringLiteral("KX2700Mgr"));
    QApplication::setApplicationVersion(QStringLiteral(KX_VERSION ".0"));
    const StartupConfiguration config = LoadStartupConfiguration();
    if (!config.error.isEmpty()) {
        InfoBox(nullptr, config.error);
        return 1;
    }
    if (CheckSingleInstance(QString::fromLatin1(kManagerInstanceName), QString::fromLatin1(kManagerWindowClass))) {
        return 0;
    }
    // The end of the session closes the window through the event loop, so a certificate import
    // that is writing to the key finishes first and the key is logged out and released.
    SessionEnd session;
    TMainForm window;
    if (!window.initialised()) {
        return 0;
    }
    QObject::connect(&session, &SessionEnd::terminateRequested, &window, &QWidget::close, Qt::QueuedConnection);
    QApplication::setWindowIcon(TreeIcon(9));
    // No application display name: the window system would append it to every window title.
    window.show();
    return app.exec();
}

} // namespace kx
