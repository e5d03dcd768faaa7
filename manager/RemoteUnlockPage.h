// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QWidget>

#include "keyservice/PinJobs.h"

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

protected:
    // Leaving the page takes what was typed with it.
    void hideEvent(QHideEvent* event) override;

private:
    // The SKF library lists no device for the key: said as it is for that key.
    void reportNoDevice(int keyIndex);
    // Overwrites and empties the PIN fields and the codes: they belong to one key and one attempt.
    void clearFields();
    // The unlock itself, once the device and the PINs were checked.
    void unlock(const QByteArray& key, const QByteArray& code, const SharedSecret& initialPin,
                const SharedSecret& newPin);

    std::unique_ptr<Ui::RemoteUnlockPage> m_ui;
    // A request or an unlock asked of the key and not answered yet.
    bool m_pending = false;
    KeySession& m_session;
};

} // namespace kx
