// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QObject>
#include <QSet>
#include <QString>

#include <functional>

namespace kx {

class KeyService;

// The registration of the keys' certificates in the user's stores, as both programs do it. Every listed key is
// registered by a job on its own lane. A key whose registration fails is registered again at the
// next registration and its failure is shown once, not at every try. When asked to, and once the
// containers of every key still present are known, the store's certificates of containers no
// present key holds (those of the keys that left) are removed; the certificates of keys that stay
// are never taken out, so a key that stays plugged keeps its registration whatever failed.
class StoreRegistration : public QObject
{
    Q_OBJECT

public:
    StoreRegistration(KeyService& keys, QObject* parent);

    void setProvider(const QString& cspName, int regCertMode);

    // Registers every listed key (their objects read again first with `reload`); with `report`
    // a failure is shown (once per key); with `removeAbsent` the certificates of keys that left
    // go afterwards. `done` follows when every key is through.
    void registerAll(bool reload, bool report, bool removeAbsent, std::function<void()> done = {});
    // Whether a removal of absent keys' certificates waits for a registration that reads every
    // present key.
    bool removalPending() const { return m_removalPending; }

Q_SIGNALS:
    // A registration failed; `text` is its message (for the program to show, once per key).
    void failureToReport(const QString& text);

private:
    KeyService& m_keys;
    QString m_cspName;
    int m_regCertMode = 0;
    // Keys whose failure was shown; a success lets the next failure be shown again.
    QSet<QByteArray> m_reported;
    bool m_removalPending = false;
};

} // namespace kx
