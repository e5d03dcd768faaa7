// SPDX-License-Identifier: Apache-2.0
#include "TFingerVerifyForm.h"

#include "common/LanguageTexts.h"
#include "common/TextFormat.h"
#include "token/TokenWrappers.h"

#include <QLabel>
#include <QPushButton>

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

void TFingerVerifyForm::run()
{
    // The login blocks until the key has read a finger or given up waiting.
    int retries = 0;
    ResultCode = static_cast<std::uint32_t>(token_login(m_keyIndex, QString(), retries));
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
