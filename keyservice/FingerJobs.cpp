// SPDX-License-Identifier: Apache-2.0
#include "FingerJobs.h"

#include "KeyCall.h"

#include "common/PINPolicy.h"
#include "common/TextConversions.h"
#include "token/Call_GMAPIs_Admin.h"
#include "token/LoginFailure.h"
#include "token/TokenWrappers.h"

#include <algorithm>
#include <array>

namespace kx {

namespace {

constexpr std::uint32_t kRequestBytes = 8;
// A key reports its retries in a byte; anything above is not a count to act on.
constexpr int kMaxRelockLogins = 255;

// The remote unlock works with the SKF devices as a short listing finds them, on a state of its
// own, so the fingerprint functions keep the devices the key listing named by serial number.
std::uint32_t withUnlockApplication(const KeyCall& key, const std::function<std::uint32_t(Call_GMAPIs_Admin&)>& work)
{
    const QByteArray serial = key.serial();
    return key.skfAlone([&] {
        Call_GMAPIs_Admin unlock;
        unlock.ShortRefresh();
        if (unlock.SkfDevices.count <= 0) {
            return SkfNoDevice;
        }
        // With several keys plugged the request and the unlock reach the key the PIN calls address.
        unlock.SelectApplication(serial);
        return work(unlock);
    });
}

} // namespace

FingerRead ReadFingers(const KeyCall& key, std::uint32_t userType)
{
    FingerRead read;
    key.step(QStringLiteral("K_Wait_Info"));
    read.result =
        key.skf([&](Call_GMAPIs_Admin& skf) { return skf.ReadFingerInfo(skf.SkfAppHandle, userType, read.info); });
    return read;
}

bool KeyCarriesSensor(const KeyCall& key)
{
    const QByteArray serial = key.serial();
    bool sensor = false;
    key.skf([&](Call_GMAPIs_Admin& skf) {
        sensor = skf.KeyHasSensor(serial);
        return SAR_OK;
    });
    return sensor;
}

FingerDeletion DeleteFingers(const KeyCall& key, std::uint32_t userType, const QList<int>& fingers)
{
    FingerDeletion deletion;
    key.step(QStringLiteral("K_Wait_Delete"));
    for (const int finger : fingers) {
        deletion.result = key.skf([&](Call_GMAPIs_Admin& skf) {
            return skf.DeleteFinger(skf.SkfAppHandle, userType, static_cast<std::uint32_t>(finger));
        });
        if (deletion.result != SAR_OK) {
            break;
        }
    }
    // Fingers deleted before a failure are gone too: the page shows what the key holds now.
    deletion.after = ReadFingers(key, userType);
    return deletion;
}

std::uint32_t UnblockFingers(const KeyCall& key, std::uint32_t userType)
{
    key.step(QStringLiteral("K_Wait_Unlock"));
    return key.skf([&](Call_GMAPIs_Admin& skf) { return GMAPIs::SKF_UnblockFinger(skf.SkfAppHandle, userType); });
}

UnlockRequest MakeUnlockRequest(const KeyCall& key)
{
    UnlockRequest request;
    key.step(QStringLiteral("K_Wait_Unlock"));
    std::array<std::uint8_t, kUnblockRequestBufferSize> bytes{};
    request.result = withUnlockApplication(key, [&](Call_GMAPIs_Admin& skf) {
        return GMAPIs::SKF_GenRemoteUnblockRequest(skf.SkfAppHandle, bytes, kRequestBytes);
    });
    if (request.result == SAR_OK) {
        request.request = QByteArray(reinterpret_cast<const char*>(bytes.data()), kRequestBytes);
    }
    return request;
}

bool SkfDeviceListed(const KeyCall& key)
{
    return withUnlockApplication(key, [](Call_GMAPIs_Admin&) { return SAR_OK; }) != SkfNoDevice;
}

UnlockInputProblem DecodeUnlockCode(const QString& text, QByteArray& code)
{
    const QString trimmed = text.trimmed();
    if (trimmed.size() < kMinUnlockCodeLength) {
        return UnlockInputProblem::CodeTooShort;
    }
    std::array<std::uint8_t, kUnlockCodeBytes> bytes{};
    std::size_t length = 0;
    if (!HexToBytes(trimmed, bytes, &length)) {
        return UnlockInputProblem::CodeTooLong;
    }
    code = QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(length));
    std::fill(bytes.begin(), bytes.end(), std::uint8_t{0});
    return UnlockInputProblem::None;
}

UnlockInputProblem UnlockPinsProblem(const QString& initialPin, const QString& newPin, const QString& confirmation)
{
    if (initialPin.size() < kMinRemotePinLength) {
        return UnlockInputProblem::InitialPinTooShort;
    }
    if (newPin != confirmation) {
        return UnlockInputProblem::PinsDiffer;
    }
    if (PINStrength(newPin) < 3) {
        return UnlockInputProblem::WeakPin;
    }
    return UnlockInputProblem::None;
}

RemoteUnlockOutcome RemoteUnlock(const KeyCall& key, const QByteArray& code, const SharedSecret& initialPin,
                                 const SharedSecret& newPin)
{
    RemoteUnlockOutcome outcome;
    key.step(QStringLiteral("K_Wait_Unlock"));
    outcome.skfResult = withUnlockApplication(key, [&](Call_GMAPIs_Admin& skf) {
        std::uint32_t reserved = 0;
        return GMAPIs::SKF_RemoteUnblockPIN(
            skf.SkfAppHandle,
            std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(code.constData()),
                                          static_cast<std::size_t>(code.size())),
            reserved);
    });
    if (outcome.skfResult == SkfNoDevice) {
        outcome.stage = RemoteUnlockOutcome::Stage::NoDevice;
        return outcome;
    }
    if (outcome.skfResult != SAR_OK) {
        outcome.stage = RemoteUnlockOutcome::Stage::UnblockRefused;
        return outcome;
    }
    outcome.result = key.login(initialPin->text(), outcome.retriesLeft);
    if (outcome.result != 0) {
        outcome.stage = RemoteUnlockOutcome::Stage::InitialPinRefused;
        // Only a PIN the key refused locks the key again: the tries left are used up, so the user
        // asks for a new unlock. A key that went away or failed keeps its tries.
        if (ClassifyLoginFailure(outcome.result, outcome.retriesLeft) == LoginFailure::WrongPin) {
            const int relogins = std::clamp(outcome.retriesLeft, 0, kMaxRelockLogins);
            for (int i = 0; i < relogins; ++i) {
                int ignored = 0;
                key.login(initialPin->text(), ignored);
            }
        }
        return outcome;
    }
    key.logout();
    key.step(QStringLiteral("K_Wait_Pin"));
    outcome.result =
        key.at([&](int position) { return token_change_upin(position, initialPin->text(), newPin->text()); });
    outcome.stage =
        outcome.result == 0 ? RemoteUnlockOutcome::Stage::Unlocked : RemoteUnlockOutcome::Stage::ChangeFailed;
    return outcome;
}

} // namespace kx
