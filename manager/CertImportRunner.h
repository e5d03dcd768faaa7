// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "CertImportJob.h"

#include <QObject>

class QProgressBar;
class QTimer;

namespace kx {

// Runs one certificate import on a worker thread while the window keeps handling events, and
// moves a progress bar as the worker reports; the bar's share of each certificate of a chain
// stays its own.
class CertImportRunner : public QObject
{
    Q_OBJECT

public:
    CertImportRunner(QProgressBar* bar, QObject* parent);

    // Runs `job` for certificate `certificate` of `certificates` and waits for it; a single
    // certificate gets 500 s. Returns the worker's result, or kWorkerStillRunning.
    int run(const CertImportJob& job, bool singleCertificate, int certificate, int certificates);

private:
    void TimerCertTick();

    QProgressBar* m_bar;
    QTimer* m_timer;
    std::shared_ptr<CertImportProgress> m_progress;
    // The progress bar's value at the end of the certificate being imported.
    int m_ceiling = 100;
};

} // namespace kx
