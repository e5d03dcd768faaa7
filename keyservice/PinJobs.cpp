// SPDX-License-Identifier: Apache-2.0
#include "PinJobs.h"

#include "KeyCall.h"

#include "token/Call_GMAPIs_Admin.h"
#include "token/LoginFailure.h"
#include "token/TokenWrappers.h"

namespace kx {

PinStateOutcome ReadPinState(const KeyCall& key)
{
    PinStateOutcome outcome;
    key.step(QStringLiteral("K_Wait_Info"));
    outcome.result = key.pinState(outcome.state);
    return outcome;
}

LoginOutcome LoginToKey(const KeyCall& key, const SharedSecret& pin, bool skfLogin)
{
    LoginOutcome outcome;
    key.step(QStringLiteral("K_Wait_Login"));
    PinState state;
    // A locked PIN is refused before a login could count against it.
    if (key.pinState(state) == 0 && state.locked()) {
        outcome.locked = true;
        return outcome;
    }
    key.logout();
    outcome.result = key.login(pin->text(), outcome.retriesLeft);
    if (outcome.result != 0) {
        return outcome;
    }
    key.step(QStringLiteral("K_Wait_Read"));
    key.reloadObjects();
    if (skfLogin) {
        key.skf([&](Call_GMAPIs_Admin& skf) {
            std::uint32_t retries = 0;
            return skf.VerifyPIN(skf.SkfAppHandle, skf.FingerUserType, pin->text(), retries);
        });
    }
    return outcome;
}

int LogoutOfKey(const KeyCall& key, bool skfLogout)
{
    const int result = key.logout();
    if (skfLogout) {
        key.skf([](Call_GMAPIs_Admin& skf) { return skf.ClearSecureState(skf.SkfAppHandle); });
    }
    return result;
}

PinChangeOutcome ChangeKeyPin(const KeyCall& key, const SharedSecret& oldPin, const SharedSecret& newPin,
                              bool logoutFirst)
{
    PinChangeOutcome outcome;
    key.step(QStringLiteral("K_Wait_Pin"));
    if (logoutFirst) {
        key.logout();
    }
    const int checked = key.login(oldPin->text(), outcome.retriesLeft);
    if (checked != 0) {
        outcome.stage = PinChangeOutcome::Stage::OldPinRefused;
        outcome.result = checked;
        return outcome;
    }
    key.logout();
    outcome.result = key.at([&](int position) { return token_change_upin(position, oldPin->text(), newPin->text()); });
    if (outcome.result == 0) {
        outcome.stage = PinChangeOutcome::Stage::Changed;
        return outcome;
    }
    outcome.stage = PinChangeOutcome::Stage::ChangeFailed;
    if (ClassifyPinChangeFailure(outcome.result) == PinChangeFailure::WrongOldPin) {
        // The tries left come from the key's counters, which cost nothing to read.
        PinState state;
        if (key.pinState(state) == 0) {
            outcome.retriesLeft = state.locked() ? 0 : state.retriesLeft();
        }
    }
    return outcome;
}

} // namespace kx
