// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

namespace kx {

// Where the dynamic loader finds the library `configured` the way the programs load it: an
// absolute path as it is, a relative path beside the executable, a bare name beside the
// executable when it lies there, otherwise the loaded copy or the loader's search folders.
// Empty when it is nowhere.
QString LibraryFile(const QString& configured);

// The name to hand to dlopen for the library `configured`: a bare or relative name that lies
// beside the executable as that file's path, anything else as configured (folders in the name
// use '/'). The loader's own search then only sees names that are not beside the executable,
// whichever object asks it to load.
QString LoadableLibrary(const QString& configured);

// The path of a file after resolving links, so two names of one file compare equal; the path as
// given when the file does not exist.
QString CanonicalFile(const QString& path);

} // namespace kx
