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

void TFingerVerifyForm::run()
{
    // The login waits until the key has read a finger or given up waiting; it runs on a worker so
    // the window keeps painting (the animation asks for the finger meanwhile).
    struct Outcome
    {
        std::atomic<int> result{0};
        std::atomic<bool> finished{false};
    };
    const auto outcome = std::make_shared<Outcome>();
    const int keyIndex = m_keyIndex;
    QThread* worker = QThread::create([keyIndex, outcome] {
        int retries = 0;
        outcome->result = token_login(keyIndex, QString(), retries);
        outcome->finished = true;
    });
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    // Until the key answers, closing the dialog counts as no finger.
    ResultCode = kLoginNoFinger;
    const QPointer<TFingerVerifyForm> alive(this);
    worker->start();
    while (!outcome->finished) {
        Delay(kPollIntervalMs);
        if (!alive) {
            return;
        }
    }
    ResultCode = static_cast<std::uint32_t>(outcome->result.load());
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
