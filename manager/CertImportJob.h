// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include "common/LanguageTexts.h"

#include <atomic>
#include <optional>

namespace kx {

// One certificate import, shared between the window and the worker thread that runs it. The
// window fills it before the worker starts and reads only the progress fields while it runs.
struct CertImportJob
{
    int fileType = 0; // 0 PKCS#12, 1 X.509, 2 PKCS#7
    int keyIndex = 0;
    int keySpec = 1;
    int certIndex = 0;
    QByteArray containerName;
    QString filePath;
    // The key's containers as last loaded: a target not among them is created first.
    QList<QByteArray> existingContainers;

    std::atomic<int> progressStep{0};
    std::atomic<int> timerInterval{2000};
};

// What a worker still running after the window stopped waiting reports.
inline constexpr int kWorkerStillRunning = 259;

// The worker's sequence: create the container when it is new, then import certificate
// `certIndex` of the file (for PKCS#12 with its keys). A container the worker created is deleted
// again when the certificate does not go in, so a refused import leaves the key as it was.
// Returns the token library's result.
int RunCertImport(CertImportJob& job);

// The message for a certificate file the token library refused for what it holds: a certificate
// too large to be read back from a key (K_Len_Error), or a private key that belongs to none of
// the file's certificates (I_CertFileError). Nothing for any other result.
std::optional<LangKey> CertFileRefusal(int result);

} // namespace kx
