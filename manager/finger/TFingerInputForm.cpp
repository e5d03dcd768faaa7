// SPDX-License-Identifier: Apache-2.0
#include "TFingerInputForm.h"

#include "common/LanguageTexts.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>
#include <memory>

namespace kx {

TFingerInputForm::TFingerInputForm(std::shared_ptr<FingerKeyAccess> key, const FingerPictures& pictures, int finger,
                                   std::uint32_t userType, std::uint32_t samples, QWidget* parent)
    : FingerDialog(std::move(key), pictures, true, parent), m_finger(static_cast<std::uint32_t>(finger)),
      m_userType(userType), m_samples(samples)
{
    m_label1->setText(Lang("F_Input_Info2"));
    m_run = new QPushButton(Lang("F_Input_Reset"), this);
    m_run->setObjectName(QStringLiteral("btnRun"));
    connect(m_run, &QPushButton::clicked, this, [this] { runGuarded(); });
    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("PB"));
    // A maximum of 0 would turn the bar into a busy indicator.
    m_progress->setRange(0, std::max(1, static_cast<int>(std::min<std::uint32_t>(samples, 100))));
    m_progress->setValue(0);

    arrange(nullptr, m_progress, m_run);

    setMessage(Lang("F_Input_Info1"), false);
    showPicture(Picture::Animation);
    m_cancel->setEnabled(false);
    m_run->setEnabled(false);
}

QString TFingerInputForm::startFailureText(std::uint32_t code)
{
    switch (code) {
    case SAR_USER_NOT_LOGGED_IN:
        return Lang("P_SAR_USER_NOT_LOGGED_IN");
    case SAR_APPLICATION_NOT_EXISTS:
        return Lang("P_SAR_APPLICATION_NOT_EXISTS");
    default:
        return formatError(code);
    }
}

void TFingerInputForm::showFailure(const QString& text)
{
    setMessage(text, true);
    showPicture(Picture::Error);
}

void TFingerInputForm::run()
{
    setMessage(Lang("F_Input_Info1"), false);
    showPicture(Picture::Animation);
    const std::uint32_t samples = m_samples;
    const std::uint32_t finger = m_finger;
    const std::uint32_t userType = m_userType;
    callKey(
        [samples, finger, userType](Call_GMAPIs_Admin& skf, SkfHandle app) {
            // A key that cannot change its sample count enrols with the count it has.
            skf.SetFingerMode(0, samples);
            return skf.EnrollInit(app, userType, finger);
        },
        [this](std::uint32_t started) {
            if (started != SAR_OK) {
                showFailure(startFailureText(started));
                ResultCode = started;
                startCountdown();
                m_cancel->setEnabled(true);
                workEnded();
                return;
            }
            m_run->setEnabled(false);
            m_cancel->setEnabled(false);
            m_progress->setValue(0);
            m_counted = 0;
            takeSample();
        });
}

void TFingerInputForm::takeSample()
{
    const std::uint32_t finger = m_finger;
    const std::uint32_t userType = m_userType;
    const auto progress = std::make_shared<std::uint32_t>(m_counted);
    callKey(
        [finger, userType, progress](Call_GMAPIs_Admin& skf, SkfHandle app) {
            return skf.EnrollSample(app, userType, finger, *progress);
        },
        [this, progress](std::uint32_t code) {
            // The bar moves one step for every sample that raised the key's count, however far
            // the count jumped, so a key counting in larger steps never overruns the bar before
            // it is done.
            if (*progress > m_counted) {
                m_progress->setValue(std::min(m_progress->value() + 1, m_progress->maximum()));
                m_counted = *progress;
            }
            ResultCode = code;
            if (code == FingerSamplePending) {
                pause([this] { takeSample(); });
                return;
            }
            m_progress->setValue(m_progress->maximum());
            pause([this, code] { finish(code); });
        });
}

void TFingerInputForm::finish(std::uint32_t result)
{
    switch (result) {
    case SAR_OK:
        setMessage(Lang("F_Input_OK"), false);
        showPicture(Picture::Ok);
        workEnded();
        accept();
        return;
    case FingerCaptureFailed:
        // The user can try again at once; the dialog stays open.
        showFailure(Lang("F_Input_Error"));
        m_run->setEnabled(true);
        m_cancel->setEnabled(true);
        workEnded();
        return;
    case SAR_FINGER_EXIST:
        showFailure(Lang("F_Input_Exist"));
        break;
    default:
        showFailure(formatError(result));
        break;
    }
    startCountdown();
    m_cancel->setEnabled(true);
    workEnded();
}

} // namespace kx
