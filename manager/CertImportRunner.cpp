// SPDX-License-Identifier: Apache-2.0
#include "CertImportRunner.h"

#include "common/Delay.h"

#include <QProgressBar>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>

namespace kx {

CertImportRunner::CertImportRunner(QProgressBar* bar, QObject* parent)
    : QObject(parent), m_bar(bar), m_timer(new QTimer(this)), m_progress(std::make_shared<CertImportProgress>())
{
    m_timer->setObjectName(QStringLiteral("TimerCert"));
    m_timer->setInterval(2000);
    connect(m_timer, &QTimer::timeout, this, &CertImportRunner::TimerCertTick);
    m_bar->setVisible(false);
}

void CertImportRunner::TimerCertTick()
{
    if (m_timer->interval() != m_progress->timerInterval) {
        m_timer->setInterval(m_progress->timerInterval);
    }
    // The bar stays inside the share of the certificate being imported.
    m_bar->setValue(std::min(m_ceiling, m_bar->value() + m_progress->progressStep));
}

int CertImportRunner::run(const CertImportJob& job, bool singleCertificate, int certificate, int certificates)
{
    m_progress = job.progress;
    // Each certificate of a chain gets its share of the bar, so the bar moves on per certificate.
    certificates = std::max(1, certificates);
    m_bar->setRange(0, 100 * certificates);
    m_bar->setValue(100 * certificate);
    m_ceiling = 100 * (certificate + 1);
    m_bar->setVisible(true);
    m_timer->start();
    struct Outcome
    {
        std::atomic<int> result{kWorkerStillRunning};
        std::atomic<bool> finished{false};
    };
    const auto outcome = std::make_shared<Outcome>();
    // The worker's own copy: whatever the window does meanwhile cannot reach the running import.
    QThread* worker = QThread::create([job, outcome] {
        outcome->result = RunCertImport(job);
        outcome->finished = true;
    });
    worker->start();
    // The window keeps handling events while the worker runs; one certificate gets 500 s.
    for (int polls = 0; !outcome->finished && (!singleCertificate || polls < 2500); ++polls) {
        Delay(200);
        TimerCertTick();
    }
    const bool finished = outcome->finished;
    const int code = finished ? outcome->result.load() : kWorkerStillRunning;
    if (finished) {
        worker->wait();
        delete worker;
    } else {
        // The worker owns nothing of the window's; it is left to finish and then freed.
        connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    }
    m_timer->stop();
    m_timer->setInterval(2000);
    m_bar->setValue(m_ceiling);
    if (certificate + 1 >= certificates || code != 0) {
        m_bar->setVisible(false);
    }
    return code;
}

} // namespace kx
