// SPDX-License-Identifier: Apache-2.0
#include "KeyCall.h"

#include "SkfAccess.h"

#include "drivers/drevmor/drevmor.h"
#include "token/GMAPIs.h"
#include "token/TokenWrappers.h"

namespace kx {

KeyCall::KeyCall(const KeyDirectory& directory, QByteArray key, JobControl& control, SkfAccess* skf)
    : m_directory(directory), m_key(std::move(key)), m_control(control), m_skf(skf)
{
}

QByteArray KeyCall::serial() const
{
    const auto hash = m_key.lastIndexOf('#');
    return hash < 0 ? m_key : m_key.left(hash);
}

int KeyCall::at(const std::function<int(int)>& call) const
{
    const int result = m_directory.withKey(m_key, call);
    if (result == DRV_LOGIN_LOST) {
        m_control.loginLost();
    }
    return result;
}

int KeyCall::login(const QString& pin, int& retriesLeft) const
{
    return at([&](int position) { return token_login(position, pin, retriesLeft); });
}

int KeyCall::logout() const
{
    return at([](int position) { return token_logout(position); });
}

int KeyCall::pinState(PinState& state) const
{
    return at([&](int position) { return token_get_pin_state(position, 1, state); });
}

int KeyCall::info(TR7Info& info) const
{
    return at([&](int position) { return token_get_info_ex(position, info); });
}

int KeyCall::reloadObjects() const
{
    return at([](int position) { return token_reload_all_objects(position); });
}

int KeyCall::containerNames(TR7Info& info) const
{
    return at([&](int position) { return LoadContainerNames(position, info); });
}

std::uint32_t KeyCall::skf(const std::function<std::uint32_t(Call_GMAPIs_Admin&)>& work) const
{
    if (!m_skf) {
        return SkfEntryMissing;
    }
    return m_skf->runForKey(serial(), work);
}

} // namespace kx

namespace kx {

std::uint32_t KeyCall::skfAlone(const std::function<std::uint32_t()>& work) const
{
    if (!m_skf) {
        return SkfEntryMissing;
    }
    return m_skf->run([&](Call_GMAPIs_Admin&) { return work(); });
}

} // namespace kx
