// SPDX-License-Identifier: Apache-2.0
#include "TFingerStudyForm.h"

#include "common/LanguageTexts.h"
#include "common/widgets/MessageBox.h"

#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <memory>

namespace kx {

TFingerStudyForm::TFingerStudyForm(std::shared_ptr<FingerKeyAccess> key, const FingerPictures& pictures,
                                   std::uint32_t userType, int finger, QWidget* parent)
    : FingerDialog(std::move(key), pictures, false, parent), m_userType(userType),
      m_finger(static_cast<std::uint32_t>(finger))
{
    m_label1->setText(Lang("F_Study_Instruction"));
    m_cancel->setText(Lang("F_Study_Close"));
    // The close button waits for the running pass instead of closing in the middle of it.
    disconnect(m_cancel, nullptr, this, nullptr);
    connect(m_cancel, &QPushButton::clicked, this, &TFingerStudyForm::cancel);
    m_test = new QPushButton(Lang("F_Study_Again"), this);
    m_test->setObjectName(QStringLiteral("btnTest"));
    connect(m_test, &QPushButton::clicked, this, &TFingerStudyForm::restart);
    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("PB"));
    m_progress->setRange(0, kPasses);
    m_progress->setValue(0);

    arrange(nullptr, m_progress, m_test);

    setMessage(Lang("F_Study_Adjust"), false);
    showPicture(Picture::Animation);
    m_test->setEnabled(false);
}

void TFingerStudyForm::TrunTimer()
{
    m_trun->stop();
    runGuarded();
}

void TFingerStudyForm::workEnded()
{
    FingerDialog::workEnded();
    if (m_closeRequested) {
        reject();
        return;
    }
    if (stopping()) {
        return;
    }
    if (m_remaining > 0) {
        m_trun->start();
    } else {
        finish();
    }
}

void TFingerStudyForm::run()
{
    m_cancel->setEnabled(true);
    const std::uint32_t userType = m_userType;
    callKey([userType](Call_GMAPIs_Admin& skf, SkfHandle app) { return skf.VerifyInit(app, userType); },
            [this, userType](std::uint32_t started) {
                ResultCode = started;
                if (started != SAR_OK) {
                    m_trun->stop();
                    m_remaining = 0;
                    m_test->setEnabled(true);
                    m_cancel->setEnabled(true);
                    InfoBox(this, verifyStartFailureText(started));
                    workEnded();
                    return;
                }
                setMessage(Lang("F_Study_Adjust"), false);
                showPicture(Picture::Animation);
                m_test->setEnabled(false);
                const auto finger = std::make_shared<std::uint32_t>(0);
                pollWhilePending([userType, finger](Call_GMAPIs_Admin& skf,
                                                    SkfHandle app) { return skf.TestFinger(app, userType, *finger); },
                                 [this, finger](std::uint32_t result) { passEnded(result, *finger); });
            });
}

void TFingerStudyForm::passEnded(std::uint32_t result, std::uint32_t finger)
{
    ResultCode = result;
    if (result == SAR_OK && finger == m_finger) {
        --m_remaining;
        m_progress->setValue(kPasses - m_remaining);
        setMessage(m_remaining > 0 ? Lang("F_Study_PassOk") : Lang("F_Study_Ok"), false);
        showPicture(Picture::Ok);
    } else {
        setMessage(passFailureText(result, result == SAR_OK), true);
        showPicture(Picture::Error);
    }
    workEnded();
}

QString TFingerStudyForm::passFailureText(std::uint32_t code, bool otherFinger)
{
    if (otherFinger) {
        return Lang("F_Study_NoMatch");
    }
    switch (code) {
    case FingerNotBound:
        return Lang("F_Study_NoCert");
    case FingerCaptureFailed:
        return Lang("F_Study_Failed");
    case SAR_FINGER_EXIST:
        return Lang("F_Study_Exists");
    case SAR_FINGER_NOT_EXIST:
        return Lang("F_Study_Missing");
    default:
        return formatError(code);
    }
}

void TFingerStudyForm::restart()
{
    m_remaining = kPasses;
    m_progress->setMaximum(kPasses);
    m_progress->setValue(0);
    m_trun->start();
}

void TFingerStudyForm::cancel()
{
    m_cancel->setText(Lang("F_Study_Closing"));
    if (!running()) {
        reject();
        return;
    }
    // The waiting pass ends at the key's next answer; the dialog then closes.
    m_closeRequested = true;
    requestStop();
}

void TFingerStudyForm::finish()
{
    m_test->setEnabled(true);
    m_cancel->setEnabled(true);
    m_test->setFocus();
}

} // namespace kx
