// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "token/Call_GMAPIs_Admin.h"

#include <QByteArray>

#include <cstdint>
#include <functional>
#include <memory>

class QObject;

namespace kx {

class KeyService;

// How a fingerprint dialog reaches its key: every call runs away from the window and answers
// later on the window thread, to a receiver that may have closed meanwhile (the answer is then
// dropped).
class FingerKeyAccess
{
public:
    // An SKF call on the key's application (`app`) of the SKF state.
    using SkfWork = std::function<std::uint32_t(Call_GMAPIs_Admin& skf, SkfHandle app)>;

    virtual ~FingerKeyAccess() = default;

    virtual void skf(SkfWork work, QObject* receiver, std::function<void(std::uint32_t result)> done) = 0;
    // A login without a PIN, which makes the key read its sensor; `done` gets the token library's
    // answer. `ended` is told the answer on the key's side as soon as it is there: true means
    // nobody waits for the login any more, and one that succeeded is then undone at once.
    virtual void fingerLogin(std::function<bool(int result)> ended, QObject* receiver,
                             std::function<void(int result)> done) = 0;
    // Ends a login that nobody asked for any more.
    virtual void logout() = 0;
};

// The key of the key service with the identity `key`: its jobs run on the key's lane.
class ServiceFingerKey final : public FingerKeyAccess
{
public:
    ServiceFingerKey(KeyService& service, QByteArray key);

    void skf(SkfWork work, QObject* receiver, std::function<void(std::uint32_t)> done) override;
    void fingerLogin(std::function<bool(int)> ended, QObject* receiver, std::function<void(int)> done) override;
    void logout() override;

private:
    KeyService& m_service;
    QByteArray m_key;
};

} // namespace kx
