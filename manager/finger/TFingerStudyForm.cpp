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

namespace {

const QString kInstruction = QStringLiteral("指示灯闪烁，将手指放在指纹采集器上...");
const QString kAdjust = QStringLiteral("调整手指姿势录入不同区域...");

} // namespace

TFingerStudyForm::TFingerStudyForm(std::shared_ptr<FingerKeyAccess> key, const FingerPictures& pictures,
                                   std::uint32_t userType, int finger, QWidget* parent)
    : FingerDialog(std::move(key), pictures, false, parent), m_userType(userType),
      m_finger(static_cast<std::uint32_t>(finger))
{
    m_label1->setText(kInstruction);
    m_cancel->setText(QStringLiteral("关闭"));
    // The close button waits for the running pass instead of closing in the middle of it.
    disconnect(m_cancel, nullptr, this, nullptr);
    connect(m_cancel, &QPushButton::clicked, this, &TFingerStudyForm::cancel);
    m_test = new QPushButton(QStringLiteral("重新学习(&R)"), this);
    m_test->setObjectName(QStringLiteral("btnTest"));
    connect(m_test, &QPushButton::clicked, this, &TFingerStudyForm::restart);
    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("PB"));
    m_progress->setRange(0, kPasses);
    m_progress->setValue(0);

    arrange(nullptr, m_progress, m_test);

    setMessage(kAdjust, false);
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
                setMessage(kAdjust, false);
                showPicture(Picture::Animation);
                m_test->setEnabled(false);
                const auto finger = std::make_shared<std::uint32_t>(0);
                pollWhilePending(
                    [userType, finger](Call_GMAPIs_Admin& skf, SkfHandle app) {
                        return skf.TestFinger(app, userType, *finger);
                    },
                    [this, finger](std::uint32_t result) { passEnded(result, *finger); });
            });
}

void TFingerStudyForm::passEnded(std::uint32_t result, std::uint32_t finger)
{
    ResultCode = result;
    if (result == SAR_OK && finger == m_finger) {
        --m_remaining;
        m_progress->setValue(kPasses - m_remaining);
        setMessage(m_remaining > 0 ? QStringLiteral("学习成功,手指离开指纹器...") : QStringLiteral("学习成功"), false);
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
        return QStringLiteral("指纹不匹配,手指离开指纹器...");
    }
    switch (code) {
    case FingerNotBound:
        return QStringLiteral("指纹未绑定证书");
    case FingerCaptureFailed:
        return QStringLiteral("测试指纹失败,手指离开指纹器...");
    case SAR_FINGER_EXIST:
        return QStringLiteral("指纹已存在,手指离开指纹器...");
    case SAR_FINGER_NOT_EXIST:
        return QStringLiteral("指纹不存在,手指离开指纹器...");
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
    m_cancel->setText(QStringLiteral("即将关闭"));
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
