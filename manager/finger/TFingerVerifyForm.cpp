// SPDX-License-Identifier: Apache-2.0
#include "TFingerVerifyForm.h"

#include "common/LanguageTexts.h"
#include "common/TextFormat.h"

#include <QLabel>
#include <QPushButton>

#include <atomic>
#include <memory>

namespace kx {

TFingerVerifyForm::TFingerVerifyForm(std::shared_ptr<FingerKeyAccess> key, const FingerPictures& pictures,
                                     std::uint32_t userType, QWidget* parent)
    : FingerDialog(std::move(key), pictures, true, parent), m_userType(userType)
{
    m_label1->setText(Lang("F_Verify_Info1"));

    arrange(nullptr, nullptr, nullptr);

    setMessage(Lang("F_Verify_Info2"), false);
    showPicture(Picture::Animation);
    m_cancel->setEnabled(false);
}

// The login on the key's lane and the window share this record. Whoever comes second in `state`
// decides: the key's side logs out a success that nobody waits for any more.
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
        // The key logged in, but its answer had not reached the dialog: the login is undone.
        m_key->logout();
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
    // The login waits until the key has read a finger or given up waiting; it runs on the key's
    // lane, so the window keeps painting (the animation asks for the finger meanwhile).
    const auto login = std::make_shared<Login>();
    // Until the key answers, closing the dialog counts as no finger.
    ResultCode = kLoginNoFinger;
    m_login = login;
    m_key->fingerLogin(
        [login](int result) {
            login->result = result;
            int expected = Login::Waiting;
            return !login->state.compare_exchange_strong(expected, Login::Finished);
        },
        this, [this](int result) { answered(result); });
}

void TFingerVerifyForm::answered(int result)
{
    m_login.reset();
    ResultCode = static_cast<std::uint32_t>(result);
    if (ResultCode == SAR_OK) {
        setMessage(Lang("F_Test_OK"), false);
        showPicture(Picture::Ok);
        // Nothing left to read: the first countdown tick closes the dialog.
        setCountdown(0);
        finishShown();
        return;
    }
    if (ResultCode == FingerCaptureFailed || ResultCode == kLoginNoFinger) {
        setMessage(Lang("F_Test_Error"), true);
        showPicture(Picture::Error);
        finishShown();
        return;
    }
    // The message tells the attempts left, which the key reads without spending one.
    const std::uint32_t userType = m_userType;
    const auto info = std::make_shared<FingerInfo>();
    callKey([userType, info](Call_GMAPIs_Admin& skf, SkfHandle app) { return skf.ReadFingerInfo(app, userType, *info); },
            [this, info](std::uint32_t) {
                setMessage(FormatInt(Lang("F_Verify_Format"), info->retryLeft), true);
                showPicture(Picture::Error);
                finishShown();
            });
}

void TFingerVerifyForm::finishShown()
{
    m_cancel->setEnabled(true);
    startCountdown();
    workEnded();
}

} // namespace kx
