// SPDX-License-Identifier: Apache-2.0
#include "OpenURL.h"

#include "ProcessLauncher.h"

namespace kx {

bool OpenURL(QObject* /*owner*/, const QString& address, bool useSystemBrowser)
{
    const QString trimmed = address.trimmed();
    if (trimmed.isEmpty()) {
        return false;
    }
    const QString program = useSystemBrowser ? QStringLiteral("x-www-browser") : QStringLiteral("xdg-open");
    return ProcessLauncher::current().startDetached(program, {trimmed});
}

} // namespace kx
