// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "token/Call_GMAPIs_Admin.h"

#include <QByteArray>
#include <QMutex>

#include <functional>

namespace kx {

// The program's SKF state (devices, their applications, the application in use) for the jobs
// of every key. The SKF library keeps one application handle in use and gives no promise about
// calls from several threads, so one job at a time works with it, and each job first selects
// the application of its own key.
class SkfAccess
{
public:
    SkfAccess() = default;
    SkfAccess(const SkfAccess&) = delete;
    SkfAccess& operator=(const SkfAccess&) = delete;

    // Runs `work` alone with the SKF state.
    std::uint32_t run(const std::function<std::uint32_t(Call_GMAPIs_Admin&)>& work);
    // Runs `work` alone with the SKF state, the application of the key with `serial` selected
    // (the first 16 characters of device names and serial compared, as the devices are named).
    // SkfNoDevice, without running it, when no device is the key's: a call meant for one key never
    // goes to the application of another.
    std::uint32_t runForKey(const QByteArray& serial, const std::function<std::uint32_t(Call_GMAPIs_Admin&)>& work);

private:
    QMutex m_lock;
    Call_GMAPIs_Admin m_admin;
};

} // namespace kx
