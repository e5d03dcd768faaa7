// SPDX-License-Identifier: Apache-2.0
#include "WriteCommands.h"

#include "ReadCommands.h"
#include "SecretInput.h"

#include "common/CommandChannel.h"
#include "common/PINPolicy.h"
#include "common/UserConfig.h"
#include "drivers/drevmor/drevmor.h"
#include "keyservice/CertJobs.h"
#include "keyservice/KeyCall.h"
#include "keyservice/KeyService.h"
#include "keyservice/PinJobs.h"
#include "token/LoginFailure.h"
#include "token/TokenWrappers.h"

#include <QJsonObject>

#include <memory>
#include <optional>

namespace kx::cli {

namespace {

constexpr int kMaxLabelBytes = 31;

} // namespace

void WhenPinUsable(CliContext& context, std::function<void(const PinState&)> next)
{
    CliContext* c = &context;
    RunOnKey<PinStateOutcome>(
        context, QStringLiteral("K_Wait_Info"), [](KeyCall& key) { return ReadPinState(key); },
        [c, next = std::move(next)](PinStateOutcome& pin) {
            if (pin.result == 0 && pin.state.locked()) {
                c->report.fail(
                    ExitCode::PinLocked,
                    QStringLiteral("the PIN of key %1 is locked").arg(c->service.keyInfo(c->keyIndex).serialText()));
                c->done();
                return;
            }
            next(pin.state);
        });
}

SharedSecret ReadKeyPin(CliContext& context)
{
    SecretInput input(context.options.pin, QStringLiteral("PIN"));
    QString error;
    SharedSecret pin = input.next(
        QStringLiteral("PIN of key %1: ").arg(context.service.keyInfo(context.keyIndex).serialText()), error);
    if (!pin) {
        context.report.fail(ExitCode::BadInput, error);
        context.done();
    }
    return pin;
}

void NoticeKeyChanged()
{
    // The monitor's own command for "register the certificates again", as the programs send it.
    SendCommand(QStringLiteral("RegCert"), QString::fromLatin1(kMonitorWindowClass));
}

void RecordPinChangeDay(const CliContext& context)
{
    const QString path = UserConfigPath(context.app.CfgPath);
    TUserConfigInfo config;
    if (ReadUserConfig(path, config) == 0) {
        RecordPINChange(path, config, QDate::currentDate());
    }
}

namespace {

// Whether the user agrees to the deletion: --yes, or "y" on the terminal.
bool confirmed(CliContext& context, const QString& what)
{
    if (context.options.yes) {
        return true;
    }
    if (!OnTerminal()) {
        context.report.fail(ExitCode::BadInput, QStringLiteral("not on a terminal: add --yes to delete %1").arg(what));
        return false;
    }
    const std::optional<QString> answer = AskTerminal(QStringLiteral("Delete %1? [y/N] ").arg(what));
    if (!answer) {
        context.report.fail(ExitCode::BadInput, QStringLiteral("not on a terminal: add --yes to delete %1").arg(what));
        return false;
    }
    const QString a = answer->trimmed().toLower();
    if (a != QStringLiteral("y") && a != QStringLiteral("yes")) {
        context.report.fail(ExitCode::Failed, QStringLiteral("nothing deleted"));
        return false;
    }
    return true;
}

struct Deletion
{
    LoginOutcome login;
    int result = 0;
};

void deleteAfterLogin(CliContext& context, const SharedSecret& pin)
{
    CliContext* c = &context;
    const QByteArray container = context.options.container;
    const int keySpec = context.options.keySpec;
    const KeyJournal* journal = &context.service.journal();
    const QString cspName = context.app.CSPName;
    RunOnKey<Deletion>(
        context, QStringLiteral("K_Wait_Delete"),
        [container, keySpec, journal, cspName, pin](KeyCall& key) {
            Deletion deletion;
            deletion.login = LoginToKey(key, pin, false);
            if (deletion.login.locked || deletion.login.result != 0) {
                return deletion;
            }
            deletion.result = DeleteFromKeyAndStore(key, *journal, cspName, container, keySpec);
            LogoutOfKey(key, false);
            return deletion;
        },
        [c, container, keySpec](Deletion& deletion) {
            if (ReportedLoginFailure(c->report, deletion.login)) {
            } else if (deletion.result != 0) {
                c->report.fail(ExitCode::DeviceError, QStringLiteral("the key did not delete it"), -1, deletion.result);
            } else {
                NoticeKeyChanged();
                const QString name = QString::fromLocal8Bit(container);
                c->report.succeed(
                    {{QStringLiteral("container"), name}, {QStringLiteral("pair"), PairName(keySpec)}},
                    keySpec == 0 ? QStringLiteral("container '%1' deleted\n").arg(name)
                                 : QStringLiteral("%1 certificate of '%2' deleted\n").arg(PairName(keySpec), name));
            }
            c->done();
        });
}

} // namespace

void RunDelete(CliContext& context)
{
    CliContext* c = &context;
    const QByteArray container = context.options.container;
    const int keySpec = context.options.keySpec;
    // What is to go must be on the key before anyone is asked for a PIN.
    RunOnKey<int>(
        context, QStringLiteral("K_Wait_Read"),
        [container, keySpec](KeyCall& key) {
            if (keySpec != 0) {
                QByteArray der;
                return ReadCertificate(key, container, keySpec, der);
            }
            TR7Info info;
            const int result = key.containerNames(info);
            if (result != 0) {
                return result;
            }
            for (const QByteArray& name : info.containerNames) {
                if (name == container) {
                    return 0;
                }
            }
            return DRV_NOT_FOUND;
        },
        [c, container, keySpec](int& result) {
            const QString name = QString::fromLocal8Bit(container);
            if (result == DRV_NOT_FOUND) {
                c->report.fail(ExitCode::Failed,
                               keySpec == 0 ? QStringLiteral("the key has no container '%1'").arg(name)
                                            : QStringLiteral("the key holds no %1 certificate in container '%2'")
                                                  .arg(PairName(keySpec), name));
                c->done();
                return;
            }
            if (result != 0) {
                c->report.fail(ExitCode::DeviceError, QStringLiteral("the key's containers could not be read"), -1,
                               result);
                c->done();
                return;
            }
            WhenPinUsable(*c, [c, name, keySpec](const PinState&) {
                const QString what =
                    keySpec == 0 ? QStringLiteral("container '%1' with its keys and certificates").arg(name)
                                 : QStringLiteral("the %1 certificate of container '%2'").arg(PairName(keySpec), name);
                if (!confirmed(*c, what)) {
                    c->done();
                    return;
                }
                if (const SharedSecret pin = ReadKeyPin(*c)) {
                    deleteAfterLogin(*c, pin);
                }
            });
        });
}

void RunRename(CliContext& context)
{
    const QString label = context.options.label.trimmed();
    // A name of blanks only would leave the key nameless.
    if (label.isEmpty()) {
        context.report.fail(ExitCode::BadInput, QStringLiteral("the label is empty"));
        context.done();
        return;
    }
    if (label.toUtf8().size() > kMaxLabelBytes) {
        context.report.fail(ExitCode::BadInput,
                            QStringLiteral("the label is longer than %1 bytes (UTF-8)").arg(kMaxLabelBytes));
        context.done();
        return;
    }
    CliContext* c = &context;
    // A key whose PIN is locked keeps its name, as in the manager, although renaming needs no PIN.
    WhenPinUsable(context, [c, label](const PinState&) {
        RunOnKey<int>(
            *c, QStringLiteral("K_Wait_Write"),
            [label](KeyCall& key) { return key.at([&](int position) { return token_set_label(position, label); }); },
            [c, label](int& result) {
                if (result != 0) {
                    c->report.fail(ExitCode::Failed, QStringLiteral("the key refused the new label"), -1, result);
                } else {
                    NoticeKeyChanged();
                    const QString serial = c->service.keyInfo(c->keyIndex).serialText();
                    c->report.succeed({{QStringLiteral("serial"), serial}, {QStringLiteral("label"), label}},
                                      QStringLiteral("key %1 is now labelled '%2'\n").arg(serial, label));
                }
                c->done();
            });
    });
}

void RunChangePin(CliContext& context)
{
    CliContext* c = &context;
    WhenPinUsable(context, [c](const PinState&) {
        const TR7Info& info = c->service.keyInfo(c->keyIndex);
        const QString serial = info.serialText();
        const bool terminal = c->options.pin.kind == SecretOrigin::Kind::Terminal;
        SecretInput input(c->options.pin, QStringLiteral("PIN"));
        QString error;
        const SharedSecret oldPin = input.next(QStringLiteral("Current PIN of key %1: ").arg(serial), error);
        const SharedSecret newPin = oldPin ? input.next(QStringLiteral("New PIN: "), error) : nullptr;
        if (newPin && terminal) {
            const SharedSecret again = input.next(QStringLiteral("New PIN again: "), error);
            if (again && again->text() != newPin->text()) {
                error = QStringLiteral("the two new PINs differ");
            }
        }
        if (!newPin || !error.isEmpty()) {
            c->report.fail(ExitCode::BadInput, error);
            c->done();
            return;
        }
        if (!PINMeetsPolicy(newPin->text(), info.minPinLen, info.maxPinLen)) {
            c->report.fail(ExitCode::BadInput, QStringLiteral("the new PIN must have %1 to %2 characters, with digits, "
                                                              "letters and other characters")
                                                   .arg(info.minPinLen)
                                                   .arg(info.maxPinLen));
            c->done();
            return;
        }
        RunOnKey<PinChangeOutcome>(
            *c, QStringLiteral("K_Wait_Pin"),
            [oldPin, newPin](KeyCall& key) {
                PinChangeOutcome outcome = ChangeKeyPin(key, oldPin, newPin, true);
                LogoutOfKey(key, false);
                return outcome;
            },
            [c, serial](PinChangeOutcome& outcome) {
                switch (outcome.stage) {
                case PinChangeOutcome::Stage::OldPinRefused:
                    ReportLoginFailure(c->report, outcome.result, outcome.retriesLeft);
                    break;
                case PinChangeOutcome::Stage::ChangeFailed:
                    switch (ClassifyPinChangeFailure(outcome.result)) {
                    case PinChangeFailure::WrongOldPin:
                        ReportLoginFailure(c->report, outcome.result, outcome.retriesLeft);
                        break;
                    case PinChangeFailure::Refused:
                        c->report.fail(ExitCode::Failed, QStringLiteral("the key refused the new PIN"), -1,
                                       outcome.result);
                        break;
                    case PinChangeFailure::Unconfirmed:
                        c->report.fail(ExitCode::DeviceError,
                                       QStringLiteral("the key did not confirm the change: the new PIN may already "
                                                      "be in force"),
                                       -1, outcome.result);
                        break;
                    }
                    break;
                case PinChangeOutcome::Stage::Changed:
                    RecordPinChangeDay(*c);
                    c->report.succeed({{QStringLiteral("serial"), serial}},
                                      QStringLiteral("the PIN of key %1 is changed\n").arg(serial));
                    break;
                }
                c->done();
            });
    });
}

} // namespace kx::cli
