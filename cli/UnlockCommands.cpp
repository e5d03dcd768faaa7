// SPDX-License-Identifier: Apache-2.0
#include "UnlockCommands.h"

#include "SecretInput.h"
#include "WriteCommands.h"

#include "common/TextConversions.h"
#include "keyservice/FingerJobs.h"
#include "keyservice/KeyCall.h"
#include "keyservice/KeyService.h"
#include "token/LoginFailure.h"

#include <QJsonObject>
#include <QRegularExpression>

#include <span>

namespace kx::cli {

namespace {

void reportUnsupported(CliContext& context)
{
    context.report.fail(ExitCode::Failed,
                        QStringLiteral("key %1 has no SKF application: remote unlock is not supported by this key")
                            .arg(context.service.keyInfo(context.keyIndex).serialText()));
}

// The unlock code as the administrator gave it: hexadecimal digits, blanks between them allowed.
bool decodeCode(CliContext& context, QByteArray& code)
{
    QString text = context.options.unlockCode;
    text.remove(QRegularExpression(QStringLiteral("\\s")));
    static const QRegularExpression hex(QStringLiteral("^([0-9A-Fa-f]{2})*$"));
    if (!hex.match(text).hasMatch()) {
        context.report.fail(ExitCode::BadInput,
                            QStringLiteral("an unlock code is hexadecimal, two digits a byte, as the administrator "
                                           "gave it"));
        return false;
    }
    switch (DecodeUnlockCode(text, code)) {
    case UnlockInputProblem::None:
        return true;
    case UnlockInputProblem::CodeTooShort:
        context.report.fail(ExitCode::BadInput,
                            QStringLiteral("an unlock code has at least %1 digits").arg(kMinUnlockCodeLength));
        return false;
    default:
        context.report.fail(ExitCode::BadInput,
                            QStringLiteral("an unlock code has at most %1 digits").arg(kUnlockCodeBytes * 2));
        return false;
    }
}

// The initial PIN and the new one (twice on a terminal); null with the failure reported.
bool readPins(CliContext& context, SharedSecret& initialPin, SharedSecret& newPin)
{
    const QString serial = context.service.keyInfo(context.keyIndex).serialText();
    SecretInput input(context.options.pin, QStringLiteral("PIN"));
    QString error;
    initialPin = input.next(QStringLiteral("Initial PIN of key %1: ").arg(serial), error);
    newPin = initialPin ? input.next(QStringLiteral("New PIN: "), error) : nullptr;
    SharedSecret again = newPin;
    if (newPin && context.options.pin.kind == SecretOrigin::Kind::Terminal) {
        again = input.next(QStringLiteral("New PIN again: "), error);
    }
    if (!again) {
        context.report.fail(ExitCode::BadInput, error);
        return false;
    }
    switch (UnlockPinsProblem(initialPin->text(), newPin->text(), again->text())) {
    case UnlockInputProblem::None:
        return true;
    case UnlockInputProblem::InitialPinTooShort:
        context.report.fail(ExitCode::BadInput,
                            QStringLiteral("the initial PIN has at least %1 characters").arg(kMinRemotePinLength));
        return false;
    case UnlockInputProblem::PinsDiffer:
        context.report.fail(ExitCode::BadInput, QStringLiteral("the two new PINs differ"));
        return false;
    default:
        context.report.fail(ExitCode::BadInput,
                            QStringLiteral("the new PIN must mix digits, letters and other characters"));
        return false;
    }
}

void unlocked(CliContext& context, const RemoteUnlockOutcome& outcome)
{
    CliReport& report = context.report;
    const QString serial = context.service.keyInfo(context.keyIndex).serialText();
    switch (outcome.stage) {
    case RemoteUnlockOutcome::Stage::NoDevice:
        reportUnsupported(context);
        return;
    case RemoteUnlockOutcome::Stage::UnblockRefused:
        report.fail(ExitCode::Failed,
                    QStringLiteral("the key refused the unlock code: it belongs to another request or key"), -1,
                    static_cast<int>(outcome.skfResult));
        return;
    case RemoteUnlockOutcome::Stage::InitialPinRefused:
        switch (ClassifyLoginFailure(outcome.result, outcome.retriesLeft)) {
        case LoginFailure::WrongPin:
        case LoginFailure::Locked:
            // The key spent its tries on the wrong initial PIN: it is locked again.
            report.fail(ExitCode::PinLocked, QStringLiteral("the initial PIN is wrong and the key is locked again: "
                                                            "ask for a new unlock code"));
            return;
        case LoginFailure::KeyGone:
            report.fail(ExitCode::NoKey,
                        QStringLiteral("the key was pulled after it was unblocked: its PIN is the initial one now"));
            return;
        default:
            ReportLoginFailure(report, outcome.result, outcome.retriesLeft);
            return;
        }
    case RemoteUnlockOutcome::Stage::ChangeFailed:
        report.fail(ExitCode::DeviceError,
                    QStringLiteral("the key is unblocked with the initial PIN, but the new PIN was not set: set it "
                                   "with change-pin"),
                    -1, outcome.result);
        return;
    case RemoteUnlockOutcome::Stage::Unlocked:
        RecordPinChangeDay(context);
        NoticeKeyChanged();
        report.succeed({{QStringLiteral("serial"), serial}},
                       QStringLiteral("key %1 is unlocked with its new PIN\n").arg(serial));
        return;
    }
}

} // namespace

void RunUnlockRequest(CliContext& context)
{
    CliContext* c = &context;
    RunOnKey<UnlockRequest>(
        context, QStringLiteral("K_Wait_Unlock"), [](KeyCall& key) { return MakeUnlockRequest(key); },
        [c](UnlockRequest& request) {
            const QString serial = c->service.keyInfo(c->keyIndex).serialText();
            if (request.result == SkfNoDevice || request.result == SkfEntryMissing) {
                reportUnsupported(*c);
            } else if (request.result != SAR_OK) {
                c->report.fail(ExitCode::DeviceError, QStringLiteral("the key made no request code"), -1,
                               static_cast<int>(request.result));
            } else {
                const QString code = BytesToHex(
                    std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(request.request.constData()),
                                                  static_cast<std::size_t>(request.request.size())));
                c->report.succeed({{QStringLiteral("serial"), serial}, {QStringLiteral("request"), code}},
                                  QStringLiteral("request code of key %1: %2\n").arg(serial, code));
            }
            c->done();
        });
}

void RunUnlockResponse(CliContext& context)
{
    QByteArray code;
    if (!decodeCode(context, code)) {
        context.done();
        return;
    }
    CliContext* c = &context;
    // A key the SKF library does not list is refused before any PIN is read.
    RunOnKey<bool>(
        context, QStringLiteral("K_Wait_Unlock"), [](KeyCall& key) { return SkfDeviceListed(key); },
        [c, code](bool& listed) {
            SharedSecret initialPin;
            SharedSecret newPin;
            if (!listed) {
                reportUnsupported(*c);
            } else if (readPins(*c, initialPin, newPin)) {
                RunOnKey<RemoteUnlockOutcome>(
                    *c, QStringLiteral("K_Wait_Unlock"),
                    [code, initialPin, newPin](KeyCall& key) { return RemoteUnlock(key, code, initialPin, newPin); },
                    [c](RemoteUnlockOutcome& outcome) {
                        unlocked(*c, outcome);
                        c->done();
                    });
                return;
            }
            c->done();
        });
}

} // namespace kx::cli
