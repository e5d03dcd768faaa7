// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

namespace kx {

// What a PKCS#11 module says about itself through C_GetInfo.
struct ModuleInfo
{
    bool read = false;    // the module answered
    QString path;         // the file that was asked
    int libraryMajor = 0; // the module's own version
    int libraryMinor = 0;
    int cryptokiMajor = 0; // the interface version it implements
    int cryptokiMinor = 0;
    QString manufacturer;
    QString description;

    // "major.minor" with the minor in two digits, as PKCS#11 versions are written ("2.20").
    QString versionText() const;
};

// Asks the PKCS#11 module in `libraryPath` for its information. A module this process already
// initialised is asked as it is; otherwise it is initialised for the question and finalised
// after it, so the token library's own use of the module is never disturbed.
ModuleInfo ReadModuleInfo(const QString& libraryPath);

} // namespace kx
