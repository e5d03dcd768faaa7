// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QWidget>

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

private:
    std::unique_ptr<Ui::UserPinPage> m_ui;
    KeySession& m_session;
};

} // namespace kx
