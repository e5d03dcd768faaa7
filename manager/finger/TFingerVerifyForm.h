// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "FingerDialog.h"

#include <memory>

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

    // `key` for the login; `userType` for reading the attempts left.
    TFingerVerifyForm(std::shared_ptr<FingerKeyAccess> key, const FingerPictures& pictures, std::uint32_t userType,
                      QWidget* parent = nullptr);
    // A dialog destroyed while the key waits for the finger gives the login up: should the key
    // log in afterwards all the same, it is logged out at once.
    ~TFingerVerifyForm() override;

    // Whether the key is waiting for the finger: the dialog cannot be closed meanwhile (its
    // button is disabled, Escape and the close box do nothing), so no login happens unseen.
    bool waitingForKey() const { return m_login != nullptr; }

    void done(int result) override;

protected:
    void run() override;

private:
    struct Login;

    // Hands the running login over to the key's side, which logs a late success out.
    void abandonLogin();
    void answered(int result);
    // The outcome is shown: the dialog may close, and does after the countdown.
    void finishShown();

    std::shared_ptr<Login> m_login;
    const std::uint32_t m_userType;
};

} // namespace kx
