// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

namespace kx {

// The per-user folder `subFolder` below the user's application-data folder, with exactly one
// trailing "/"; the folder and its missing parents are created. "\" in `subFolder` counts as "/".
QString UserFolder(const QString& subFolder);

} // namespace kx
