// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "FingerDialog.h"

namespace kx {

// Logs the key in with a finger: an empty PIN makes the token library read the key's sensor.
// Success closes the dialog about a second later, a failure after the countdown. ResultCode
// holds the token library's answer.
class TFingerVerifyForm : public FingerDialog
{
    Q_OBJECT

public:
    // The token library's answer when no finger reached the sensor in time: the module's
    // CKR_FUNCTION_CANCELED, passed through unchanged. A finger the key refused comes back as
    // FingerCaptureFailed.
    static constexpr std::uint32_t kLoginNoFinger = 0x50;

    // `keyIndex` for the login; `app` and `userType` for reading the attempts left.
    TFingerVerifyForm(Call_GMAPIs_Admin& skf, const FingerPictures& pictures, int keyIndex, SkfHandle app,
                      std::uint32_t userType, QWidget* parent = nullptr);

protected:
    void run() override;

private:
    const int m_keyIndex;
    const SkfHandle m_app;
    const std::uint32_t m_userType;
};

} // namespace kx
