// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QWidget>

#include <memory>

class QAction;

namespace Ui {
class LoginPage;
}

namespace kx {

class FingerPictures;
class KeySession;

// The login page: the selected key's user PIN, or a finger on a key with a sensor, opens the key.
class LoginPage : public QWidget
{
    Q_OBJECT

public:
    LoginPage(KeySession& session, const FingerPictures& pictures, QWidget* parent = nullptr);
    ~LoginPage() override;

    void ApplyTexts();
    // Shows the selected key's name; with `takeFocus` the cursor goes into the PIN field a moment
    // later.
    void showKey(int keyIndex, bool takeFocus = true);

    void AcLoginExecute();
    void AcLoginUpdate();
    void AcCancelExecute();
    void AcFingerlogonExecute();
    void AcFingerlogonUpdate();

signals:
    // The key was opened, by PIN or by finger.
    void loggedIn(int keyIndex);

protected:
    // Leaving the page takes the typed PIN with it.
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QAction* action(const char* name) const;
    void showFingerLogon();
    // Opens the verification dialog for the key `key` and logs it in when a finger matched.
    void verifyFinger(const QByteArray& key);

    std::unique_ptr<Ui::LoginPage> m_ui;
    // A login asked of the key and not answered yet.
    bool m_pending = false;
    KeySession& m_session;
    const FingerPictures& m_pictures;
};

} // namespace kx
