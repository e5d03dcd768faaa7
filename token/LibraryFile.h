// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

namespace kx {

// Where the dynamic loader finds the library `configured` the way the programs load it: an
// absolute path as it is, a relative path beside the executable, a bare name beside the
// executable when it lies there, otherwise the loaded copy or the loader's search folders.
// Empty when it is nowhere.
QString LibraryFile(const QString& configured);

// The path of a file after resolving links, so two names of one file compare equal; the path as
// given when the file does not exist.
QString CanonicalFile(const QString& path);

} // namespace kx
