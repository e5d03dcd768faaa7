// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "CliContext.h"

#include <QString>

namespace kx::cli {

// The kinds of certificate file an import takes, as the token library numbers them.
inline constexpr int kFilePkcs12 = 0;
inline constexpr int kFileX509 = 1;
inline constexpr int kFilePkcs7 = 2;

// The kind of a certificate file by its name: .p12 and .pfx PKCS#12, .p7b, .p7c and .p7 PKCS#7,
// anything else X.509 (DER or PEM).
int CertFileKind(const QString& path);

// Imports a certificate file into a container of the chosen key (created when it is not there),
// as the manager does: the file is parsed first (a PKCS#12 file with its password), then the key
// is logged in and the certificates written, each whole or not at all.
void RunImport(CliContext& context);

} // namespace kx::cli
