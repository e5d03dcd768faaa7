// SPDX-License-Identifier: Apache-2.0
#include "TFingerTestForm.h"

#include "FingerHand.h"

#include "common/LanguageTexts.h"
#include "common/widgets/MessageBox.h"

#include <QLabel>
#include <QPushButton>

#include <memory>

namespace kx {

TFingerTestForm::TFingerTestForm(std::shared_ptr<FingerKeyAccess> key, const FingerPictures& pictures,
                                 std::uint32_t userType, const std::array<int, 10>& markers, QWidget* parent)
    : FingerDialog(std::move(key), pictures, false, parent), m_userType(userType), m_pageMarkers(markers)
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
    const std::uint32_t userType = m_userType;
    callKey([userType](Call_GMAPIs_Admin& skf, SkfHandle app) { return skf.VerifyInit(app, userType); },
            [this, userType](std::uint32_t started) {
                ResultCode = started;
                if (started != SAR_OK) {
                    workEnded();
                    InfoBox(this, verifyStartFailureText(started));
                    reject();
                    return;
                }
                setMessage(Lang("F_Wait_Info"), false);
                m_test->setEnabled(false);
                m_cancel->setEnabled(false);
                const auto finger = std::make_shared<std::uint32_t>(0);
                pollWhilePending(
                    [userType, finger](Call_GMAPIs_Admin& skf, SkfHandle app) {
                        return skf.TestFinger(app, userType, *finger);
                    },
                    [this, finger](std::uint32_t result) {
                        ResultCode = result;
                        if (result == SAR_OK) {
                            setMessage(Lang("F_Test_OK"), false);
                            m_hand->setMarker(static_cast<int>(*finger), FingerPictures::kRecognisedMarker);
                        } else {
                            setMessage(testFailureText(result), true);
                        }
                        m_test->setEnabled(true);
                        m_cancel->setEnabled(true);
                        workEnded();
                    });
            });
}

} // namespace kx
