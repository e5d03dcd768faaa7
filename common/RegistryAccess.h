// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

#include <optional>

namespace kx {

// Writes a string value into the user's registry: the root named exactly (case included)
// "HKEY_LOCAL_MACHINE", "HKEY_USERS", "HKEY_CURRENT_CONFIG", "HKEY_CLASSES_ROOT" or
// "HKEY_CURRENT_USER", any other name HKEY_CURRENT_USER; the key is created when missing. A key
// that cannot be written is skipped; the result says so (0 written, 1 not).
int RegWriteString(const QString& rootName, const QString& keyPath, const QString& valueName, const QString& value);

// Reads a string value of the user's registry (root names as for RegWriteString); nothing when
// the key or the value is missing.
std::optional<QString> RegReadString(const QString& rootName, const QString& keyPath, const QString& valueName);

// The CSP's name when it is installed (its provider key exists under HKEY_LOCAL_MACHINE
// "SOFTWARE\Microsoft\Cryptography\Defaults\Provider\"), otherwise empty.
QString CSPInstalled(const QString& cspName);

} // namespace kx
