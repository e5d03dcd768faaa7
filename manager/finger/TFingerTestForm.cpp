// SPDX-License-Identifier: Apache-2.0
#include "TFingerTestForm.h"

#include "FingerHand.h"

#include "common/LanguageTexts.h"
#include "common/widgets/MessageBox.h"

#include <QLabel>
#include <QPushButton>

namespace kx {

TFingerTestForm::TFingerTestForm(Call_GMAPIs_Admin& skf, const FingerPictures& pictures, SkfHandle app,
                                 std::uint32_t userType, const std::array<int, 10>& markers, QWidget* parent)
    : FingerDialog(skf, pictures, false, parent), m_app(app), m_userType(userType), m_pageMarkers(markers)
{
    m_hand = new FingerHand(this);
    m_hand->setPictures(m_pictures);
    m_hand->setMarkers(m_pageMarkers);
    m_label1->setText(Lang("F_Test_Info1"));
    m_test = new QPushButton(Lang("F_Test_Reset"), this);
    m_test->setObjectName(QStringLiteral("btnTest"));
    connect(m_test, &QPushButton::clicked, this, [this] {
        m_hand->setMarkers(m_pageMarkers);
        runGuarded();
    });

    arrange(m_hand, nullptr, m_test);

    setMessage(Lang("F_Test_Info2"), false);
    showPicture(Picture::Animation);
    m_test->setEnabled(false);
    m_cancel->setEnabled(false);
}

QString TFingerTestForm::testFailureText(std::uint32_t code)
{
    switch (code) {
    case FingerCaptureFailed:
        return Lang("F_Test_Error");
    case SAR_FINGER_EXIST:
        return Lang("P_SAR_FINGER_EXIST");
    case SAR_FINGER_NOT_EXIST:
        return Lang("P_SAR_FINGER_NOT_EXIST");
    default:
        return formatError(code);
    }
}

void TFingerTestForm::run()
{
    const std::uint32_t started = m_skf.VerifyInit(m_app, m_userType);
    ResultCode = started;
    if (started != SAR_OK) {
        InfoBox(this, verifyStartFailureText(started));
        reject();
        return;
    }
    setMessage(Lang("F_Wait_Info"), false);
    m_test->setEnabled(false);
    m_cancel->setEnabled(false);

    std::uint32_t finger = 0;
    std::uint32_t result = SAR_OK;
    if (!pollWhilePending([this, &finger] { return m_skf.TestFinger(m_app, m_userType, finger); }, result)) {
        return;
    }
    ResultCode = result;
    if (result == SAR_OK) {
        setMessage(Lang("F_Test_OK"), false);
        m_hand->setMarker(static_cast<int>(finger), FingerPictures::kRecognisedMarker);
    } else {
        setMessage(testFailureText(result), true);
    }
    m_test->setEnabled(true);
    m_cancel->setEnabled(true);
}

} // namespace kx
