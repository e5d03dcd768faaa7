// SPDX-License-Identifier: Apache-2.0
#include "CertImportRunner.h"

#include "keyservice/CertJobs.h"

#include <QProgressBar>
#include <QTimer>

#include <algorithm>

namespace kx {

namespace {

constexpr int kRestInterval = 2000;

} // namespace

CertImportRunner::CertImportRunner(QProgressBar* bar, QObject* parent)
    : QObject(parent), m_bar(bar), m_timer(new QTimer(this))
{
    m_timer->setObjectName(QStringLiteral("TimerCert"));
    m_timer->setInterval(kRestInterval);
    connect(m_timer, &QTimer::timeout, this, &CertImportRunner::TimerCertTick);
    m_bar->setVisible(false);
}

void CertImportRunner::start(std::shared_ptr<ImportProgress> progress, int certificates)
{
    m_progress = std::move(progress);
    m_certificates = std::max(1, certificates);
    m_certificate = 0;
    // Each certificate of a chain gets its share of the bar, so the bar moves on per certificate.
    m_bar->setRange(0, 100 * m_certificates);
    m_bar->setValue(0);
    m_bar->setVisible(true);
    m_timer->start();
}

bool CertImportRunner::running() const
{
    return m_timer->isActive();
}

void CertImportRunner::TimerCertTick()
{
    if (!m_progress) {
        return;
    }
    if (m_timer->interval() != m_progress->timerInterval) {
        m_timer->setInterval(m_progress->timerInterval);
    }
    certificateStarted(m_progress->certificate.load());
    // The bar stays inside the share of the certificate being imported.
    m_bar->setValue(std::min(100 * (m_certificate + 1), m_bar->value() + m_progress->progressStep));
}

void CertImportRunner::certificateStarted(int certificate)
{
    certificate = std::clamp(certificate, 0, m_certificates - 1);
    if (certificate > m_certificate) {
        m_certificate = certificate;
        m_bar->setValue(100 * certificate);
    }
}

void CertImportRunner::finish()
{
    m_timer->stop();
    m_timer->setInterval(kRestInterval);
    m_bar->setValue(m_bar->maximum());
    m_bar->setVisible(false);
    m_progress.reset();
}

} // namespace kx
