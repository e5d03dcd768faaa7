// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QWidget>

#include <memory>

namespace Ui {
class RemoteUnlockPage;
}

namespace kx {

class KeySession;

// The remote unlock page: the request code for the issuing party, and the unlock with its answer
// followed by a login with the initial PIN and the setting of a new PIN.
class RemoteUnlockPage : public QWidget
{
    Q_OBJECT

public:
    explicit RemoteUnlockPage(KeySession& session, QWidget* parent = nullptr);
    ~RemoteUnlockPage() override;

    void ApplyTexts();
    void AcRequestExecute();
    void AcRemoteUnLockExecute();
    void AcRemoteUnLockUpdate();

private:
    // The SKF application of the selected key after a short refresh; false (and the user told)
    // when no SKF device is there.
    bool selectUnlockApplication();

    std::unique_ptr<Ui::RemoteUnlockPage> m_ui;
    KeySession& m_session;
};

} // namespace kx
