// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "FingerDialog.h"

#include <array>

namespace kx {

class FingerHand;

// Tests the enrolled fingers: waits for a finger on the sensor and marks the finger the key
// recognised on the hand, over the markers of the fingerprint page. btnTest puts the page's
// markers back and tests again.
class TFingerTestForm : public FingerDialog
{
    Q_OBJECT

public:
    // `markers`: the page's markers of fingers 1 to 10 (see FingerHand).
    TFingerTestForm(std::shared_ptr<FingerKeyAccess> key, const FingerPictures& pictures, std::uint32_t userType,
                    const std::array<int, 10>& markers, QWidget* parent = nullptr);

    FingerHand* hand() const { return m_hand; }

protected:
    void run() override;

private:
    static QString testFailureText(std::uint32_t code);

    const std::uint32_t m_userType;
    const std::array<int, 10> m_pageMarkers;
    FingerHand* m_hand = nullptr;
    QPushButton* m_test = nullptr;
};

} // namespace kx
