// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include "common/LanguageTexts.h"

#include <atomic>
#include <memory>
#include <optional>

namespace kx {

// How far a running import has come, written by its worker and read by the window's progress
// timer.
struct CertImportProgress
{
    std::atomic<int> progressStep{0};
    std::atomic<int> timerInterval{2000};
};

// One certificate import. The window fills it; its worker runs on a copy of its own, so nothing
// the window does meanwhile changes the running import. Only the progress is shared.
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

    std::shared_ptr<CertImportProgress> progress = std::make_shared<CertImportProgress>();
};

// What a worker still running after the window stopped waiting reports.
inline constexpr int kWorkerStillRunning = 259;

// The worker's sequence: create the container when it is new, then import certificate
// `certIndex` of the file (for PKCS#12 with its keys). A container the worker created is deleted
// again when the certificate does not go in, so a refused import leaves the key as it was.
// Returns the token library's result.
int RunCertImport(const CertImportJob& job);

// The message for a certificate file the token library refused for what it holds: a certificate
// too large to be read back from a key (K_Len_Error), or a private key that belongs to none of
// the file's certificates (I_CertFileError). Nothing for any other result.
std::optional<LangKey> CertFileRefusal(int result);

} // namespace kx
