// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QList>
#include <QReadWriteLock>

#include <functional>

namespace kx {

// Which position of the token library each key has. The library numbers the keys anew at every
// enumeration, so a job never keeps a position: it names its key by identity (the serial number,
// with an occurrence count for keys that share one) and looks the position up for each call.
// Lookup and call happen under a shared lock, an enumeration under the exclusive one, so no
// enumeration can renumber the keys between the lookup and the call.
class KeyDirectory
{
public:
    // What a call on a key that is not listed any more gives: the module's "token not present".
    static constexpr int kKeyGone = 0xE0;

    // The identities of keys listed in position order: "serial", and for the second and later
    // key of the same serial "serial#2", "serial#3" ...
    static QList<QByteArray> identities(const QList<QByteArray>& serials);

    // Runs `call` with the key's position; kKeyGone, without calling, when the key is not listed.
    int withKey(const QByteArray& key, const std::function<int(int position)>& call) const;
    // Runs an enumeration under the exclusive lock; it gives the identities in position order.
    void renumber(const std::function<QList<QByteArray>()>& enumerate);

    QList<QByteArray> keys() const;
    // The key's position, or -1.
    int positionOf(const QByteArray& key) const;

private:
    // Recursive: a job that runs a composite call (a registration) under one lookup may look up
    // again inside it.
    mutable QReadWriteLock m_lock{QReadWriteLock::Recursive};
    QList<QByteArray> m_keys;
};

} // namespace kx
