// SPDX-License-Identifier: Apache-2.0
#include "TFingerVerifyForm.h"

#include "common/LanguageTexts.h"
#include "common/TextFormat.h"
#include "token/TokenWrappers.h"

#include "common/Delay.h"

#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QThread>

#include <atomic>
#include <memory>

namespace kx {

TFingerVerifyForm::TFingerVerifyForm(Call_GMAPIs_Admin& skf, const FingerPictures& pictures, int keyIndex,
                                     SkfHandle app, std::uint32_t userType, QWidget* parent)
    : FingerDialog(skf, pictures, true, parent), m_keyIndex(keyIndex), m_app(app), m_userType(userType)
{
    m_label1->setText(Lang("F_Verify_Info1"));

    arrange(nullptr, nullptr, nullptr);

    setMessage(Lang("F_Verify_Info2"), false);
    showPicture(Picture::Animation);
    m_cancel->setEnabled(false);
}

// The login on its worker and the window share this record. Whoever comes second in `state`
// decides: the worker logs out a success that nobody waits for any more.
struct TFingerVerifyForm::Login
{
    enum State
    {
        Waiting,
        Finished,
        Abandoned
    };
    std::atomic<int> result{0};
    std::atomic<int> state{Waiting};
};

TFingerVerifyForm::~TFingerVerifyForm()
{
    abandonLogin();
}

void TFingerVerifyForm::abandonLogin()
{
    if (!m_login) {
        return;
    }
    int expected = Login::Waiting;
    if (!m_login->state.compare_exchange_strong(expected, Login::Abandoned) && m_login->result == 0) {
        // The worker finished before anyone read its result: undo the login here.
        token_logout(m_keyIndex);
    }
    m_login.reset();
}

void TFingerVerifyForm::done(int result)
{
    if (waitingForKey()) {
        return;
    }
    FingerDialog::done(result);
}

void TFingerVerifyForm::run()
{
    // The login waits until the key has read a finger or given up waiting; it runs on a worker so
    // the window keeps painting (the animation asks for the finger meanwhile).
    const auto login = std::make_shared<Login>();
    const int keyIndex = m_keyIndex;
    QThread* worker = QThread::create([keyIndex, login] {
        int retries = 0;
        const int result = token_login(keyIndex, QString(), retries);
        login->result = result;
        int expected = Login::Waiting;
        if (!login->state.compare_exchange_strong(expected, Login::Finished) && result == 0) {
            token_logout(keyIndex);
        }
    });
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    // Until the key answers, closing the dialog counts as no finger.
    ResultCode = kLoginNoFinger;
    m_login = login;
    const QPointer<TFingerVerifyForm> alive(this);
    worker->start();
    while (login->state == Login::Waiting) {
        Delay(kPollIntervalMs);
        if (!alive) {
            return;
        }
    }
    m_login.reset();
    ResultCode = static_cast<std::uint32_t>(login->result.load());
    if (ResultCode == SAR_OK) {
        setMessage(Lang("F_Test_OK"), false);
        showPicture(Picture::Ok);
        // Nothing left to read: the first countdown tick closes the dialog.
        setCountdown(0);
    } else if (ResultCode == FingerCaptureFailed || ResultCode == kLoginNoFinger) {
        setMessage(Lang("F_Test_Error"), true);
        showPicture(Picture::Error);
    } else {
        kx::FingerInfo info;
        m_skf.ReadFingerInfo(m_app, m_userType, info);
        setMessage(FormatInt(Lang("F_Verify_Format"), info.retryLeft), true);
        showPicture(Picture::Error);
    }
    m_cancel->setEnabled(true);
    startCountdown();
}

} // namespace kx
