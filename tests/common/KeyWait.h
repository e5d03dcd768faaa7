// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "keyservice/KeyService.h"
#include "keyservice/PinJobs.h"
#include "token/KeyThreadGuard.h"
#include "token/TokenWrappers.h"

#include <QTest>

#include <functional>
#include <memory>
#include <optional>

namespace kx::test {

// The programs ask their keys without waiting; a test waits for the answers before it looks.

// True once every job of the service has ended (false after `timeoutMs`).
inline bool keysIdle(KeyService& service, int timeoutMs = 30000)
{
    return QTest::qWaitFor([&] { return service.idle(); }, timeoutMs);
}

// Runs `work` on key `keyIndex` as a job and waits for its result; nullopt when it did not come.
// Lists the keys as the window does (a job, then the list applied); the listing's result, or -1
// when it did not come.
inline int listKeys(KeyService& service, int timeoutMs = 30000)
{
    std::optional<KeyListing> listing;
    service.enumerate(&service, [&](const KeyListing& found) { listing = found; });
    static_cast<void>(QTest::qWaitFor([&] { return listing.has_value(); }, timeoutMs));
    if (!listing) {
        return -1;
    }
    service.applyListing(*listing);
    return listing->result;
}

template <typename Result>
std::optional<Result> runAndWait(KeyService& service, int keyIndex, std::function<Result(KeyCall&)> work,
                                 int timeoutMs = 30000)
{
    auto result = std::make_shared<std::optional<Result>>();
    QObject receiver;
    if (!service.run<Result>(keyIndex, QStringLiteral("K_Wait_Info"), std::move(work), &receiver,
                             [result](Result& value, int) { *result = value; })) {
        return std::nullopt;
    }
    static_cast<void>(QTest::qWaitFor([&] { return result->has_value(); }, timeoutMs));
    return *result;
}

// The PIN state of a key, read as a job (a read costs no try).
inline PinState pinState(KeyService& service, int keyIndex)
{
    const auto read = runAndWait<PinStateOutcome>(service, keyIndex, [](KeyCall& key) { return ReadPinState(key); });
    return read ? read->state : PinState{};
}

// Logs the key in with `pin` as the login page does (the login state follows); 0 or the code.
inline int login(KeyService& service, int keyIndex, const QString& pin, int& retriesLeft)
{
    const SharedSecret secret = MakeSecret(pin);
    const auto outcome =
        runAndWait<LoginOutcome>(service, keyIndex, [secret](KeyCall& key) { return LoginToKey(key, secret, false); });
    if (!outcome) {
        return -1;
    }
    retriesLeft = outcome->retriesLeft;
    if (outcome->result == 0 && !outcome->locked) {
        service.setLoginState(keyIndex, KeyService::kLoggedIn);
    }
    return outcome->locked ? 0xA4 : outcome->result;
}

// Checks a PIN by a login and logs out again; 0 or the code.
inline int checkPin(KeyService& service, int keyIndex, const QString& pin, int& retriesLeft)
{
    const SharedSecret secret = MakeSecret(pin);
    const auto outcome = runAndWait<std::pair<int, int>>(service, keyIndex, [secret](KeyCall& key) {
        int left = -1;
        key.logout();
        const int result = key.login(secret->text(), left);
        key.logout();
        return std::make_pair(result, left);
    });
    if (!outcome) {
        return -1;
    }
    retriesLeft = outcome->second;
    return outcome->first;
}

// A test's own direct calls to the token library on its main thread: allowed while it lives.
using DirectKeyCalls = KeyThreadGuard::Exemption;

} // namespace kx::test
