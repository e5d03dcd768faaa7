// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "CertImportJob.h"

#include <QWidget>

#include <array>
#include <cstdint>
#include <memory>

class QAction;
class QTimer;

namespace Ui {
class CertificatePage;
}

namespace kx {

class CertImportRunner;
class KeySession;

// The certificate page of a logged-in key: the container tree, show, export, delete, register,
// the import of certificate files, and the logout.
class CertificatePage : public QWidget
{
    Q_OBJECT

public:
    explicit CertificatePage(KeySession& session, QWidget* parent = nullptr);
    ~CertificatePage() override;

    void ApplyTexts();
    void LoadCertTree(int keyIndex);
    void UpdateCertActions();
    void AcrefreshExecute();
    void AcListCertExecute();
    void AcOutputExecute();
    void AcDelExecute();
    void AcDelCertExecute();
    void AcRegCertExecute();
    void AcUnRegCertExecute();
    void AcInputCertExecute();
    void AclogoutExecute();

signals:
    void loggedOut();

private:
    QAction* action(const char* name) const;
    QTimer* timer(const char* name) const;
    bool readSelectedCertificate(QByteArray& der);
    void afterDeletion(int result);
    void reportImportFailure(int result);
    // Marks the import as running or ended and enables or disables what must wait for it.
    void setImportRunning(bool running);
    // Enables or disables what must wait for a running import.
    void followImport(bool running);
    void TRegCertTimer();

    std::unique_ptr<Ui::CertificatePage> m_ui;
    KeySession& m_session;
    CertImportJob m_importJob;
    CertImportRunner* m_runner = nullptr;
};

} // namespace kx
