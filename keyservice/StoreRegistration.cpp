// SPDX-License-Identifier: Apache-2.0
#include "StoreRegistration.h"

#include "CertJobs.h"
#include "KeyService.h"

#include "common/LanguageTexts.h"
#include "token/CertRegistration.h"
#include "token/CertificateSummary.h"
#include "token/DesktopRegistration.h"
#include "token/RootDecisions.h"

#include <QStringList>

#include <memory>
#include <optional>

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
                const QString label = keyIndex >= 0 ? m_keys.keyInfo(keyIndex).labelText().trimmed() : QString();
                offerRoots(outcome.undecidedRoots, label);
                if (outcome.result == 0) {
                    m_reported.remove(key);
                } else if (report && !m_reported.contains(key)) {
                    m_reported.insert(key);
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

void StoreRegistration::offerRoots(const QList<QByteArray>& roots, const QString& keyLabel)
{
    for (const QByteArray& der : roots) {
        const QString fingerprint = CertificateSummary::sha256Of(der);
        if (m_rootsAsked.contains(fingerprint)) {
            continue;
        }
        const QString question = rootQuestion(der, keyLabel);
        if (question.isEmpty()) {
            continue;
        }
        m_rootsAsked.insert(fingerprint);
        Q_EMIT rootToConfirm(der, question);
    }
}

int StoreRegistration::answerRoot(const QByteArray& der, bool trusted)
{
    const std::optional<CertificateSummary> summary = CertificateSummary::read(der);
    if (!summary || !summary->trustableRoot()) {
        return 1;
    }
    const int stored = RootDecisions().record(
        summary->sha256, trusted ? RootDecisions::Decision::Trusted : RootDecisions::Decision::Refused,
        summary->subject);
    if (trusted) {
        // Trusted for this run even when the answer could not be stored.
        DesktopRegistration::instance().addAuthority(der, true);
    }
    return stored;
}

QString StoreRegistration::rootQuestion(const QByteArray& der, const QString& keyLabel)
{
    const std::optional<CertificateSummary> summary = CertificateSummary::read(der);
    if (!summary) {
        return QString();
    }
    const QStringList lines = {
        Lang("R_Root_Ask").arg(keyLabel),
        QString(),
        Lang("R_Root_Subject") + summary->subject,
        Lang("R_Root_Issuer") + summary->issuer,
        Lang("R_Root_NotBefore") + summary->notBefore,
        Lang("R_Root_NotAfter") + summary->notAfter,
        Lang("R_Root_SHA1") + summary->sha1,
        Lang("R_Root_SHA256") + summary->sha256,
        QString(),
        Lang("R_Root_Trust"),
    };
    return lines.join(QLatin1Char('\n'));
}

} // namespace kx
