// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QObject>

#include <memory>

class QProgressBar;
class QTimer;

namespace kx {

struct ImportProgress;

// Moves a progress bar while an import runs on its key's lane, as the import reports how far it
// came: TimerCert adds the import's step to the bar at the interval the import asks for (2 s at
// rest), and each certificate of a chain keeps its own share of the bar.
class CertImportRunner : public QObject
{
    Q_OBJECT

public:
    CertImportRunner(QProgressBar* bar, QObject* parent);

    // An import of `certificates` certificates has started, reporting to `progress`.
    void start(std::shared_ptr<ImportProgress> progress, int certificates);
    // The import started certificate `certificate`: the bar stands at its share's beginning.
    void certificateStarted(int certificate);
    // The import has ended: the bar is filled and hidden.
    void finish();
    bool running() const;

private:
    void TimerCertTick();

    QProgressBar* m_bar;
    QTimer* m_timer;
    std::shared_ptr<ImportProgress> m_progress;
    int m_certificates = 1;
    int m_certificate = 0;
};

} // namespace kx
