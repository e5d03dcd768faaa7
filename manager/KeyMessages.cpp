// SPDX-License-Identifier: Apache-2.0
#include "KeyMessages.h"

#include "KeySession.h"

#include "common/LanguageTexts.h"
#include "common/TextFormat.h"
#include "common/widgets/MessageBox.h"
#include "token/GMAPIs.h"
#include "token/LoginFailure.h"

namespace kx {

namespace {

QString codeText(int result)
{
    return Lang("K_ErrorCODE_Str") + QStringLiteral(" = 0x") + HexCode(static_cast<std::uint32_t>(result));
}

} // namespace

bool RefuseUninitialisedKey(QWidget* owner, const KeySession& session, int keyIndex)
{
    if (session.keyInfo(keyIndex).initialised == 0) {
        InfoBox(owner, Lang("Init_Info"));
        return false;
    }
    return true;
}

void ReportLoginFailure(QWidget* owner, int result, int retriesLeft, bool oldPin)
{
    switch (ClassifyLoginFailure(result, retriesLeft)) {
    case LoginFailure::Locked:
        InfoBox(owner, Lang("K_Dead"));
        break;
    case LoginFailure::Lockout:
        InfoBox(owner, Lang("K_PIN_Lockout"));
        break;
    case LoginFailure::WrongPin:
        if (retriesLeft < 0) {
            // The module cannot count the tries left: say the PIN is wrong, not "-1 tries".
            InfoBox(owner, Lang("K_PIN_Error"));
        } else if (oldPin) {
            InfoBox(owner, FormatInt(Lang("K_OldCheck"), retriesLeft));
        } else {
            InfoBox(owner, Lang("K_PIN_Error") + QStringLiteral("\r") + FormatInt(Lang("K_Try_Time"), retriesLeft));
        }
        break;
    case LoginFailure::KeyGone:
        InfoBox(owner, Lang("K_Find_Error"));
        break;
    case LoginFailure::LoginLost:
        InfoBox(owner, Lang("K_Login_Lost"));
        break;
    case LoginFailure::DeviceFailure:
        InfoBox(owner, Lang("K_Device_Error") + codeText(result));
        break;
    case LoginFailure::OtherError:
        InfoBox(owner, (oldPin ? Lang("K_Set_No") : Lang("Change_No")) + codeText(result));
        break;
    }
}

void ReportPinChangeFailure(QWidget* owner, int result, int retriesLeft)
{
    switch (ClassifyPinChangeFailure(result)) {
    case PinChangeFailure::WrongOldPin:
        ReportLoginFailure(owner, result, retriesLeft, true);
        break;
    case PinChangeFailure::Refused:
        InfoBox(owner, Lang("K_Set_No") + codeText(result));
        break;
    case PinChangeFailure::Unconfirmed:
        InfoBox(owner, Lang("K_PIN_Unconfirmed") + codeText(result));
        break;
    }
}

bool FingerActionAllowed(QWidget* owner, const FingerInfo& info)
{
    if (info.retryLeft == 0) {
        InfoBox(owner, Lang("P_SAR_PIN_LOCKED"));
        return false;
    }
    if (info.enrolledCount == 0) {
        InfoBox(owner, Lang("P_SAR_FINGER_NOT_EXIST"));
        return false;
    }
    return true;
}

void ReportFingerResult(QWidget* owner, std::uint32_t result)
{
    if (result == SAR_USER_NOT_LOGGED_IN) {
        InfoBox(owner, Lang("P_SAR_USER_NOT_LOGGED_IN"));
    } else if (result == SkfNoDevice) {
        InfoBox(owner, Lang("K_Find_Error"));
    } else if (result != SAR_OK) {
        InfoBox(owner, FormatHex(Lang("P_FormatError"), result));
    }
}

} // namespace kx
