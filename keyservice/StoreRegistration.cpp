// SPDX-License-Identifier: Apache-2.0
#include "StoreRegistration.h"

#include "CertJobs.h"
#include "KeyService.h"

#include "common/LanguageTexts.h"
#include "token/CertRegistration.h"

#include <memory>

namespace kx {

namespace {

// The registrations of one round, collected as their jobs end.
struct Round
{
    int pending = 0;
    bool allRead = true;
    QSet<QByteArray> containers;
    std::function<void()> done;
};

} // namespace

StoreRegistration::StoreRegistration(KeyService& keys, QObject* parent) : QObject(parent), m_keys(keys) {}

void StoreRegistration::setProvider(const QString& cspName, int regCertMode)
{
    m_cspName = cspName;
    m_regCertMode = regCertMode;
}

void StoreRegistration::registerAll(bool reload, bool report, bool removeAbsent, std::function<void()> done)
{
    if (removeAbsent) {
        m_removalPending = true;
    }
    const auto round = std::make_shared<Round>();
    round->done = std::move(done);
    const auto finishRound = [this, round] {
        // The store follows the keys present only when every one of them could be read: a key
        // whose containers are unknown may hold any of the certificates.
        if (m_removalPending && round->allRead) {
            RemoveStoreCertsOfAbsentContainers(m_cspName, round->containers);
            m_removalPending = false;
        }
        if (round->done) {
            round->done();
        }
    };
    const int count = m_keys.KeyCount();
    round->pending = count;
    if (count == 0) {
        finishRound();
        return;
    }
    const QString cspName = m_cspName;
    const int mode = m_regCertMode;
    for (int i = 0; i < count; ++i) {
        const QByteArray key = m_keys.keyId(i);
        const bool posted = m_keys.runOn<RegistrationOutcome>(
            key, QStringLiteral("K_Wait_Register"),
            [cspName, mode, reload](KeyCall& call) { return RegisterKey(call, cspName, mode, reload); }, this,
            [this, round, key, report, finishRound](RegistrationOutcome& outcome, int keyIndex) {
                round->allRead = round->allRead && outcome.containersRead;
                round->containers.unite(outcome.containers);
                if (outcome.result == 0) {
                    m_reported.remove(key);
                } else if (report && !m_reported.contains(key)) {
                    m_reported.insert(key);
                    const QString label = keyIndex >= 0 ? m_keys.keyInfo(keyIndex).labelText().trimmed() : QString();
                    Q_EMIT failureToReport(RegistrationFailureText(outcome.result) + QLatin1Char('\n') +
                                           Lang("K_Reg_Retry").arg(label));
                }
                if (--round->pending == 0) {
                    finishRound();
                }
            });
        if (!posted) {
            round->allRead = false;
            if (--round->pending == 0) {
                finishRound();
            }
        }
    }
}

} // namespace kx
