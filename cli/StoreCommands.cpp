// SPDX-License-Identifier: Apache-2.0
#include "StoreCommands.h"

#include "drivers/drevmor/drevmor.h"
#include "keyservice/CertJobs.h"
#include "keyservice/KeyCall.h"
#include "keyservice/KeyService.h"
#include "token/CertRegistration.h"

#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>

namespace kx::cli {

namespace {

// The registration codes: 10000 + c or 20000 + c for an exchange or signature certificate that
// could not be registered.
constexpr int kExchangeFailed = 10000;
constexpr int kSignatureFailed = 20000;

QJsonArray namesOf(const QList<QByteArray>& containers)
{
    QJsonArray names;
    for (const QByteArray& name : containers) {
        names.append(QString::fromLocal8Bit(name));
    }
    return names;
}

struct Unregistration
{
    int result = 0;
    QList<QByteArray> containers;
};

} // namespace

void RunRegister(CliContext& context)
{
    CliContext* c = &context;
    const QString cspName = context.app.CSPName;
    const int mode = context.app.RegCertMode;
    RunOnKey<RegistrationOutcome>(
        context, QStringLiteral("K_Wait_Register"),
        [cspName, mode](KeyCall& key) { return RegisterKey(key, cspName, mode, true); },
        [c](RegistrationOutcome& outcome) {
            QList<QByteArray> containers(outcome.containers.begin(), outcome.containers.end());
            std::sort(containers.begin(), containers.end());
            if (outcome.result >= kExchangeFailed) {
                const int code = outcome.result % kExchangeFailed;
                c->report.fail(code == DRV_STORE_FULL || code == DRV_STORE_DENIED || code == DRV_STORE_ERROR
                                   ? ExitCode::Failed
                                   : ExitCode::DeviceError,
                               QStringLiteral("the %1 certificate of a container could not be registered")
                                   .arg(outcome.result >= kSignatureFailed ? QStringLiteral("signature")
                                                                           : QStringLiteral("exchange")),
                               -1, code);
            } else if (outcome.result != 0) {
                c->report.fail(ExitCode::DeviceError, QStringLiteral("the key's containers could not be read"), -1,
                               outcome.result);
            } else {
                const QString serial = c->service.keyInfo(c->keyIndex).serialText();
                c->report.succeed(
                    {{QStringLiteral("serial"), serial}, {QStringLiteral("containers"), namesOf(containers)}},
                    QStringLiteral("the certificates of %1 container(s) of key %2 are registered\n")
                        .arg(containers.size())
                        .arg(serial));
            }
            c->done();
        });
}

void RunUnregister(CliContext& context)
{
    CliContext* c = &context;
    const QString cspName = context.app.CSPName;
    RunOnKey<Unregistration>(
        context, QStringLiteral("K_Wait_Register"),
        [cspName](KeyCall& key) {
            Unregistration outcome;
            TR7Info info;
            outcome.result = key.containerNames(info);
            if (outcome.result != 0) {
                return outcome;
            }
            for (const QByteArray& name : info.containerNames) {
                outcome.containers.append(name);
                const int removed = RemoveStoreCertsOfContainer(cspName, name, std::nullopt);
                if (removed != 0) {
                    outcome.result = removed;
                }
            }
            return outcome;
        },
        [c](Unregistration& outcome) {
            if (outcome.result != 0) {
                c->report.fail(outcome.result == DRV_STORE_ERROR ? ExitCode::Failed : ExitCode::DeviceError,
                               QStringLiteral("the key's certificates could not all be removed from the store"), -1,
                               outcome.result);
            } else {
                const QString serial = c->service.keyInfo(c->keyIndex).serialText();
                c->report.succeed(
                    {{QStringLiteral("serial"), serial}, {QStringLiteral("containers"), namesOf(outcome.containers)}},
                    QStringLiteral("the certificates of key %1 are removed from the store\n").arg(serial));
            }
            c->done();
        });
}

} // namespace kx::cli
