// SPDX-License-Identifier: Apache-2.0
#include "TFingerInputForm.h"

#include "common/LanguageTexts.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>

namespace kx {

TFingerInputForm::TFingerInputForm(Call_GMAPIs_Admin& skf, const FingerPictures& pictures, int finger, SkfHandle app,
                                   std::uint32_t userType, std::uint32_t samples, QWidget* parent)
    : FingerDialog(skf, pictures, true, parent), m_finger(static_cast<std::uint32_t>(finger)), m_app(app),
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
    // A key that cannot change its sample count enrols with the count it has.
    m_skf.SetFingerMode(0, m_samples);
    const std::uint32_t started = m_skf.EnrollInit(m_app, m_userType, m_finger);
    if (started != SAR_OK) {
        showFailure(startFailureText(started));
        ResultCode = started;
        startCountdown();
        m_cancel->setEnabled(true);
        return;
    }

    m_run->setEnabled(false);
    m_cancel->setEnabled(false);
    m_progress->setValue(0);
    // The bar moves one step for every sample that raised the key's count, however far the
    // count jumped, so a key counting in larger steps never overruns the bar before it is done.
    std::uint32_t counted = 0;
    std::uint32_t result = SAR_OK;
    const bool finished = pollWhilePending(
        [this, &counted] {
            std::uint32_t progress = counted;
            const std::uint32_t code = m_skf.EnrollSample(m_app, m_userType, m_finger, progress);
            if (progress > counted) {
                m_progress->setValue(std::min(m_progress->value() + 1, m_progress->maximum()));
                counted = progress;
            }
            ResultCode = code;
            return code;
        },
        result);
    if (!finished) {
        return;
    }

    m_progress->setValue(m_progress->maximum());
    m_progress->repaint();
    if (!pause()) {
        return;
    }
    switch (result) {
    case SAR_OK:
        setMessage(Lang("F_Input_OK"), false);
        showPicture(Picture::Ok);
        accept();
        return;
    case FingerCaptureFailed:
        // The user can try again at once; the dialog stays open.
        showFailure(Lang("F_Input_Error"));
        m_run->setEnabled(true);
        m_cancel->setEnabled(true);
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
}

} // namespace kx
