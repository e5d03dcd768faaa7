// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>
#include <QStringList>

namespace kx {

// The profile folders of Firefox and Thunderbird (also their snap and flatpak forms) below a home
// folder that hold an NSS database in SQL form (cert9.db), as their profiles.ini files list them.
QStringList MozillaProfiles(const QString& home);

} // namespace kx
