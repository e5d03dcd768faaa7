// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

class QObject;

namespace kx {

// Opens a web address: blanks around it are dropped and an empty address does nothing; otherwise
// the system's browser ("x-www-browser") gets it when `useSystemBrowser` is set, the desktop's
// default handler ("xdg-open") when not. True when a program was started.
bool OpenURL(QObject* owner, const QString& address, bool useSystemBrowser);

} // namespace kx
