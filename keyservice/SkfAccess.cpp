// SPDX-License-Identifier: Apache-2.0
#include "SkfAccess.h"

namespace kx {

std::uint32_t SkfAccess::run(const std::function<std::uint32_t(Call_GMAPIs_Admin&)>& work)
{
    const QMutexLocker locker(&m_lock);
    return work(m_admin);
}

std::uint32_t SkfAccess::runForKey(const QByteArray& serial,
                                   const std::function<std::uint32_t(Call_GMAPIs_Admin&)>& work)
{
    const QMutexLocker locker(&m_lock);
    if (!m_admin.HasDeviceOf(serial)) {
        return SkfNoDevice;
    }
    m_admin.SelectApplication(serial);
    return work(m_admin);
}

} // namespace kx
