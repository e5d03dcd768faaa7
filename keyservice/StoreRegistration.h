// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QList>
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

    // Offers the root certificates a registration of the key labelled `keyLabel` found that the
    // user has not answered for (RegistrationOutcome::undecidedRoots): each is asked about once
    // per run of the program, however often the keys are registered meanwhile.
    void offerRoots(const QList<QByteArray>& roots, const QString& keyLabel);
    // Stores the user's answer for a root asked about; on yes it goes to the desktop's databases as
    // a trusted authority (TLS and e-mail). 0, or 1 when the answer could not be stored (it is
    // asked again in the next run).
    int answerRoot(const QByteArray& der, bool trusted);

    // The question for a root: what it names itself, who issued it, when it is valid, its SHA-1 and
    // SHA-256 fingerprints and the key it came from. Empty when the bytes are no certificate.
    static QString rootQuestion(const QByteArray& der, const QString& keyLabel);

Q_SIGNALS:
    // A registration failed; `text` is its message (for the program to show, once per key).
    void failureToReport(const QString& text);
    // A key holds a root certificate the user has not said whether to trust; the program asks
    // `question` (yes or no, no by default) and gives the answer to answerRoot.
    void rootToConfirm(const QByteArray& der, const QString& question);

private:
    KeyService& m_keys;
    QString m_cspName;
    int m_regCertMode = 0;
    // Keys whose failure was shown; a success lets the next failure be shown again.
    QSet<QByteArray> m_reported;
    bool m_removalPending = false;
    // SHA-256 fingerprints of the roots asked about in this run.
    QSet<QString> m_rootsAsked;
};

} // namespace kx
