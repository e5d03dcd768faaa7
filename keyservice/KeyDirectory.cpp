// SPDX-License-Identifier: Apache-2.0
#include "KeyDirectory.h"

#include <QHash>

namespace kx {

QList<QByteArray> KeyDirectory::identities(const QList<QByteArray>& serials)
{
    QList<QByteArray> out;
    QHash<QByteArray, int> seen;
    for (const QByteArray& serial : serials) {
        const int occurrence = ++seen[serial];
        out.append(occurrence == 1 ? serial : serial + '#' + QByteArray::number(occurrence));
    }
    return out;
}

int KeyDirectory::withKey(const QByteArray& key, const std::function<int(int)>& call) const
{
    const QReadLocker locker(&m_lock);
    const auto position = m_keys.indexOf(key);
    if (position < 0) {
        return kKeyGone;
    }
    return call(static_cast<int>(position));
}

void KeyDirectory::renumber(const std::function<QList<QByteArray>()>& enumerate)
{
    const QWriteLocker locker(&m_lock);
    m_keys = enumerate();
}

QList<QByteArray> KeyDirectory::keys() const
{
    const QReadLocker locker(&m_lock);
    return m_keys;
}

int KeyDirectory::positionOf(const QByteArray& key) const
{
    const QReadLocker locker(&m_lock);
    return static_cast<int>(m_keys.indexOf(key));
}

} // namespace kx
