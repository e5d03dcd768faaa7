// SPDX-License-Identifier: Apache-2.0
#include "FingerKeyAccess.h"

#include "keyservice/KeyService.h"
#include "token/TokenWrappers.h"

namespace kx {

ServiceFingerKey::ServiceFingerKey(KeyService& service, QByteArray key) : m_service(service), m_key(std::move(key))
{
}

void ServiceFingerKey::skf(SkfWork work, QObject* receiver, std::function<void(std::uint32_t)> done)
{
    m_service.runOn<std::uint32_t>(
        m_key, QStringLiteral("K_Wait_Finger"),
        [work](KeyCall& key) { return key.skf([&](Call_GMAPIs_Admin& skf) { return work(skf, skf.SkfAppHandle); }); },
        receiver, [done](std::uint32_t& result, int) { done(result); });
}

void ServiceFingerKey::fingerLogin(std::function<bool(int)> ended, QObject* receiver, std::function<void(int)> done)
{
    m_service.runOn<int>(
        m_key, QStringLiteral("K_Wait_Finger"),
        [ended](KeyCall& key) {
            int retries = 0;
            const int result = key.login(QString(), retries);
            // A login nobody waits for any more is undone here, on the key's own lane.
            if (ended(result) && result == 0) {
                key.logout();
            }
            return result;
        },
        receiver, [done](int& result, int) { done(result); });
}

void ServiceFingerKey::logout()
{
    m_service.runOn<int>(
        m_key, QStringLiteral("K_Wait_Login"), [](KeyCall& key) { return key.logout(); }, nullptr, {});
}

} // namespace kx
