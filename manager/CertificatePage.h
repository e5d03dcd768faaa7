// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QList>
#include <QWidget>

#include <functional>
#include <memory>

class QAction;
class QTimer;

namespace Ui {
class CertificatePage;
}

namespace kx {

class CertImportRunner;
class KeyGenDialog;
class KeySession;
struct ImportRequest;
struct KeyGenOutcome;

// The certificate page of a logged-in key: the container tree, show, export, delete, register,
// the import of certificate files, and the logout. Everything the key is asked runs on the key's
// lane; the page shows the answers when they come, for the key that is then selected.
class CertificatePage : public QWidget
{
    Q_OBJECT

public:
    explicit CertificatePage(KeySession& session, QWidget* parent = nullptr);
    ~CertificatePage() override;

    void ApplyTexts();
    // Reads the key's containers and shows them when the key is still the selected one.
    void LoadCertTree(int keyIndex);
    void UpdateCertActions();
    void AcrefreshExecute();
    void AcListCertExecute();
    void AcOutputExecute();
    void AcOutputPemExecute();
    void AcOutputChainExecute();
    void AcGenerateExecute();
    void AcDelExecute();
    void AcDelCertExecute();
    void AcRegCertExecute();
    void AcUnRegCertExecute();
    void AcInputCertExecute();
    void AclogoutExecute();

signals:
    void loggedOut();

private:
    enum class ExportForm
    {
        Der,
        Pem,
        PemChain,
    };

    QAction* action(const char* name) const;
    void exportCertificate(ExportForm form);
    void runGeneration(const QByteArray& key, KeyGenDialog* dialog);
    void reportGenerationFailure(QWidget* owner, const KeyGenOutcome& outcome);
    QTimer* timer(const char* name) const;
    void readTree(int keyIndex, bool reload, std::function<void()> then = {});
    void showTree(int keyIndex);
    void readSelectedCertificate(bool show, std::function<void(const QByteArray& der)> then);
    void deleteFromKey(const QByteArray& container, int keySpec);
    void registerKey(int keyIndex, bool report);
    void reportImportFailure(int result);
    void chooseImport(const QByteArray& key, const QList<QByteArray>& containers, int preselected);
    void runImport(const QByteArray& key, const ImportRequest& request);
    void importEnded(int result, bool timedOut);
    // Marks the import as running or ended and enables or disables what must wait for it.
    void setImportRunning(bool running);
    // Enables or disables what must wait for a running import.
    void followImport(bool running);
    void TRegCertTimer();

    std::unique_ptr<Ui::CertificatePage> m_ui;
    KeySession& m_session;
    CertImportRunner* m_runner = nullptr;
    QTimer* m_importLimit = nullptr;
    QByteArray m_importKey;
    // An action of the page asked of the key and not answered yet.
    bool m_pending = false;
    bool m_importTimedOut = false;
};

} // namespace kx
