// SPDX-License-Identifier: Apache-2.0
#include "KeyGenCommands.h"

#include "OutputDelivery.h"
#include "ReadCommands.h"
#include "WriteCommands.h"

#include "common/TextConversions.h"
#include "drivers/drevmor/drevmor.h"
#include "keyservice/CertJobs.h"
#include "keyservice/KeyCall.h"
#include "keyservice/KeyGenJobs.h"
#include "keyservice/KeyService.h"
#include "keyservice/KeyWrites.h"
#include "keyservice/PinJobs.h"
#include "token/CertificateChain.h"

#include <QJsonObject>
#include <QStringList>

#include <array>

namespace kx::cli {

namespace {

struct Algorithm
{
    const char* name;
    int choice;
};

// In the order the manager offers them: without --algorithm the first the key offers is taken.
constexpr std::array kAlgorithms{
    Algorithm{"rsa2048", DRV_KEYGEN_RSA2048}, Algorithm{"rsa3072", DRV_KEYGEN_RSA3072},
    Algorithm{"p256", DRV_KEYGEN_P256},       Algorithm{"p384", DRV_KEYGEN_P384},
    Algorithm{"sm2", DRV_KEYGEN_SM2},         Algorithm{"rsa4096", DRV_KEYGEN_RSA4096},
};

QString algorithmName(int choice)
{
    for (const Algorithm& algorithm : kAlgorithms) {
        if (algorithm.choice == choice) {
            return QString::fromLatin1(algorithm.name);
        }
    }
    return QString();
}

// The choice the options ask for among those the key offers: 0 when it offers none of them.
int chosenAlgorithm(const QString& wanted, int offered)
{
    for (const Algorithm& algorithm : kAlgorithms) {
        if ((offered & algorithm.choice) && (wanted.isEmpty() || wanted == QLatin1String(algorithm.name))) {
            return algorithm.choice;
        }
    }
    return 0;
}

QString offeredNames(int offered)
{
    QStringList names;
    for (const Algorithm& algorithm : kAlgorithms) {
        if (offered & algorithm.choice) {
            names.append(QString::fromLatin1(algorithm.name));
        }
    }
    return names.join(QStringLiteral(", "));
}

KeyGenRequest requestOf(const CliOptions& options)
{
    KeyGenRequest request;
    request.container = options.container;
    request.keySpec = options.keySpec;
    request.commonName = options.commonName;
    request.organization = options.organization;
    request.unit = options.unit;
    request.country = options.country;
    request.email = options.email;
    return request;
}

// The message of a problem with the input, and whether it is the key's state (refused) rather
// than the input (bad input).
void reportProblem(CliReport& report, KeyGenProblem problem, const KeyGenRequest& request)
{
    const QString container = QString::fromLocal8Bit(request.container);
    switch (problem) {
    case KeyGenProblem::None:
        break;
    case KeyGenProblem::NoContainerName:
        report.fail(ExitCode::BadInput, QStringLiteral("a container name is not empty"));
        break;
    case KeyGenProblem::ContainerNameTooLong:
        report.fail(ExitCode::BadInput,
                    QStringLiteral("a container name has at most %1 bytes").arg(kKeyGenContainerNameLength));
        break;
    case KeyGenProblem::ContainerExists:
        report.fail(ExitCode::Failed, QStringLiteral("the key holds a container '%1' already").arg(container));
        break;
    case KeyGenProblem::PairUsed:
        report.fail(ExitCode::Failed, QStringLiteral("the %1 pair of container '%2' holds a key or a certificate "
                                                     "already: choose the other pair or another container")
                                          .arg(PairName(request.keySpec), container));
        break;
    case KeyGenProblem::NoAlgorithm:
        report.fail(ExitCode::Failed, QStringLiteral("the key cannot generate key pairs"));
        break;
    case KeyGenProblem::NoCommonName:
        report.fail(ExitCode::BadInput, QStringLiteral("the request needs a common name: --cn NAME"));
        break;
    case KeyGenProblem::FieldTooLong:
        report.fail(ExitCode::BadInput, QStringLiteral("--cn, --o and --ou take at most %1 characters, --email %2")
                                            .arg(kKeyGenNameFieldLength)
                                            .arg(kKeyGenEmailLength));
        break;
    case KeyGenProblem::BadCountry:
        report.fail(ExitCode::BadInput,
                    QStringLiteral("a country is two letters (ISO 3166), not '%1'").arg(request.country));
        break;
    case KeyGenProblem::BadEmail:
        report.fail(ExitCode::BadInput,
                    QStringLiteral("'%1' is not an e-mail address (name@domain, ASCII)").arg(request.email));
        break;
    }
}

// What the key said to a generation or request, as the manager reports it.
void reportKeyFailure(CliReport& report, const KeyGenOutcome& outcome, const KeyGenRequest& request)
{
    const int result = outcome.result;
    const QString container = QString::fromLocal8Bit(request.container);
    if (result == DRV_DEVICE_FULL) {
        report.fail(ExitCode::Failed, QStringLiteral("the key has no room for the key pair"), -1, result);
    } else if (result == DRV_LOGIN_LOST) {
        report.fail(ExitCode::DeviceError, QStringLiteral("the key lost its session; try again"), -1, result);
    } else if (result == DRV_EXISTS) {
        reportProblem(report,
                      outcome.failedStep == KeyGenOutcome::Step::Container ? KeyGenProblem::ContainerExists
                                                                           : KeyGenProblem::PairUsed,
                      request);
    } else if (result == DRV_NOT_FOUND && outcome.failedStep == KeyGenOutcome::Step::Request) {
        report.fail(ExitCode::Failed,
                    QStringLiteral("the %1 pair of container '%2' has no key pair to sign a request with")
                        .arg(PairName(request.keySpec), container),
                    -1, result);
    } else if (result == DRV_MECHANISM_MISSING) {
        report.fail(ExitCode::Failed, QStringLiteral("the key cannot make that key pair or its signature"), -1, result);
    } else if (outcome.failedStep == KeyGenOutcome::Step::Request) {
        report.fail(ExitCode::DeviceError, QStringLiteral("the key did not sign the certificate request"), -1, result);
    } else {
        report.fail(ExitCode::DeviceError, QStringLiteral("the key did not generate the key pair"), -1, result);
    }
}

// Refuses a subject the request cannot take: reported, and the command ended.
bool subjectRefused(CliContext& context, const KeyGenRequest& request)
{
    const KeyGenProblem problem = KeyGenSubjectProblem(request);
    if (problem == KeyGenProblem::None) {
        return false;
    }
    reportProblem(context.report, problem, request);
    context.done();
    return true;
}

// What the key holds for the requested pair, read before any PIN is asked for (public keys are
// visible without a login).
struct PairRead
{
    CertTreeData tree;
    int result = 0;
    // The key-pair choices the key offers (generate only).
    int choices = 0;
    // The chosen pair holds keys (the tree tells only of pairs with a certificate).
    bool pairHasKeys = false;
};

PairRead readPair(const KeyCall& key, const KeyGenRequest& request, bool withChoices)
{
    PairRead read;
    if (withChoices) {
        read.result = ReadKeyGenChoices(key, read.choices);
    }
    if (read.result == 0) {
        read.tree = ReadCertTree(key, false);
        read.result = read.tree.result;
    }
    if (read.result == 0 && read.tree.find(request.container)) {
        read.pairHasKeys = PairHasKeys(key, request.container, request.keySpec);
    }
    return read;
}

bool readFailed(CliContext& context, const PairRead& read)
{
    if (read.result == 0) {
        return false;
    }
    context.report.fail(ExitCode::DeviceError, QStringLiteral("the key's containers could not be read"), -1,
                        read.result);
    context.done();
    return true;
}

struct Signed
{
    LoginOutcome login;
    KeyGenOutcome outcome;
};

// Logs in with the PIN, runs `work` (a generation or a request) and logs out; then hands the
// request over or reports what went wrong.
void signWithPin(CliContext& context, const KeyGenRequest& request,
                 std::function<KeyGenOutcome(const KeyCall&, const KeyGenRequest&)> work)
{
    const SharedSecret pin = ReadKeyPin(context);
    if (!pin) {
        return;
    }
    CliContext* c = &context;
    RunOnKey<Signed>(
        context, QStringLiteral("K_Wait_Generate"),
        [request, pin, work](KeyCall& key) {
            Signed made;
            made.login = LoginToKey(key, pin, false);
            if (made.login.locked || made.login.result != 0) {
                return made;
            }
            made.outcome = work(key, request);
            LogoutOfKey(key, false);
            return made;
        },
        [c, request](Signed& made) {
            if (ReportedLoginFailure(c->report, made.login)) {
            } else if (made.outcome.result != 0) {
                reportKeyFailure(c->report, made.outcome, request);
            } else {
                const QString container = QString::fromLocal8Bit(request.container);
                QJsonObject fields{{QStringLiteral("container"), container},
                                   {QStringLiteral("pair"), PairName(request.keySpec)}};
                if (c->options.command == CliOptions::Command::Generate) {
                    fields.insert(QStringLiteral("algorithm"), algorithmName(request.choice));
                    fields.insert(QStringLiteral("newContainer"), request.newContainer);
                    NoticeKeyChanged();
                }
                DeliverBytes(
                    *c, c->options.pem ? PemEncode(made.outcome.request, "CERTIFICATE REQUEST") : made.outcome.request,
                    c->options.pem, fields,
                    QStringLiteral("certificate request of the %1 pair of '%2'")
                        .arg(PairName(request.keySpec), container));
            }
            c->done();
        });
}

} // namespace

void RunGenerate(CliContext& context)
{
    KeyGenRequest request = requestOf(context.options);
    if (request.container.isEmpty()) {
        request.container = NewGUIDText().toLocal8Bit();
    }
    if (subjectRefused(context, request)) {
        return;
    }
    CliContext* c = &context;
    RunOnKey<PairRead>(
        context, QStringLiteral("K_Wait_Info"), [request](KeyCall& key) { return readPair(key, request, true); },
        [c, request](PairRead& read) mutable {
            if (readFailed(*c, read)) {
                return;
            }
            request.choice = chosenAlgorithm(c->options.algorithm, read.choices);
            if (request.choice == 0 && read.choices != 0) {
                c->report.fail(ExitCode::BadInput, QStringLiteral("the key does not offer %1; it offers %2")
                                                       .arg(c->options.algorithm, offeredNames(read.choices)));
                c->done();
                return;
            }
            request.newContainer = !read.tree.find(request.container);
            const KeyGenProblem problem =
                read.pairHasKeys ? KeyGenProblem::PairUsed : KeyGenRequestProblem(request, read.tree);
            if (problem != KeyGenProblem::None) {
                reportProblem(c->report, problem, request);
                c->done();
                return;
            }
            WhenPinUsable(*c, [c, request](const PinState&) {
                const KeyJournal* journal = &c->service.journal();
                signWithPin(*c, request, [journal](const KeyCall& key, const KeyGenRequest& wanted) {
                    return GenerateOnKey(key, *journal, wanted);
                });
            });
        });
}

void RunRequest(CliContext& context)
{
    const KeyGenRequest request = requestOf(context.options);
    if (subjectRefused(context, request)) {
        return;
    }
    CliContext* c = &context;
    RunOnKey<PairRead>(
        context, QStringLiteral("K_Wait_Read"), [request](KeyCall& key) { return readPair(key, request, false); },
        [c, request](PairRead& read) {
            if (readFailed(*c, read)) {
                return;
            }
            const QString container = QString::fromLocal8Bit(request.container);
            if (!read.tree.find(request.container)) {
                c->report.fail(ExitCode::Failed, QStringLiteral("the key has no container '%1'").arg(container));
            } else if (!read.pairHasKeys) {
                c->report.fail(ExitCode::Failed,
                               QStringLiteral("the %1 pair of container '%2' has no keys: make them with generate")
                                   .arg(PairName(request.keySpec), container));
            } else {
                WhenPinUsable(*c, [c, request](const PinState&) {
                    signWithPin(*c, request, [](const KeyCall& key, const KeyGenRequest& wanted) {
                        return RequestForPair(key, wanted);
                    });
                });
                return;
            }
            c->done();
        });
}

} // namespace kx::cli
