// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QWidget>

#include "keyservice/PinJobs.h"

#include <memory>

namespace Ui {
class UserPinPage;
}

namespace kx {

class KeySession;

// The user PIN page: changes the selected key's user PIN after checking the old one.
class UserPinPage : public QWidget
{
    Q_OBJECT

public:
    explicit UserPinPage(KeySession& session, QWidget* parent = nullptr);
    ~UserPinPage() override;

    void ApplyTexts();
    void AcSetUserPINExecute();
    void AcSetUserPINUpdate();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Leaving the page takes what was typed with it.
    void hideEvent(QHideEvent* event) override;

private:
    // The field checks, then the change, for the key `key` whose PIN is not locked.
    void checkAndChange(const QByteArray& key, const SharedSecret& oldPin, const SharedSecret& newPin,
                        const SharedSecret& confirmation);
    void clearFields();

    std::unique_ptr<Ui::UserPinPage> m_ui;
    // A change asked of the key and not answered yet.
    bool m_pending = false;
    KeySession& m_session;
};

} // namespace kx
