// SPDX-License-Identifier: Apache-2.0
#include "FingerCommands.h"

#include "keyservice/FingerJobs.h"
#include "keyservice/KeyCall.h"
#include "keyservice/KeyService.h"
#include "token/Call_GMAPIs_Admin.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

namespace kx::cli {

namespace {

// The sensor is asked again this often while it waits for a finger, and given up on after the
// longest wait: a key's own timeout is usually shorter.
constexpr int kPollIntervalMs = 200;
constexpr int kFingerWaitMs = 30000;

QString serialOf(const CliContext& context)
{
    return context.service.keyInfo(context.keyIndex).serialText();
}

// Reads the user's fingers; `next` gets them unless the key has no sensor (also every key when
// no SKF library is at hand) or the read failed (reported then).
void readFingers(CliContext& context, std::function<void(const FingerInfo&)> next)
{
    struct Read
    {
        bool sensor = false;
        FingerRead fingers;
    };
    CliContext* c = &context;
    RunOnKey<Read>(
        context, QStringLiteral("K_Wait_Info"),
        [](KeyCall& key) {
            Read read;
            read.sensor = KeyCarriesSensor(key);
            if (read.sensor) {
                read.fingers = ReadFingers(key, SkfUserType);
            }
            return read;
        },
        [c, next = std::move(next)](Read& read) {
            if (!read.sensor) {
                c->report.fail(
                    ExitCode::Failed,
                    QStringLiteral("key %1 has no fingerprint sensor: fingerprints are not supported by this key")
                        .arg(serialOf(*c)));
            } else if (read.fingers.result != SAR_OK) {
                c->report.fail(ExitCode::DeviceError, QStringLiteral("the key's fingerprints could not be read"), -1,
                               static_cast<int>(read.fingers.result));
            } else {
                next(read.fingers.info);
                return;
            }
            c->done();
        });
}

void reportTestFailure(CliContext& context, std::uint32_t result)
{
    switch (result) {
    case SAR_PIN_LOCKED:
        context.report.fail(ExitCode::PinLocked, QStringLiteral("the fingerprint check of the key is locked"));
        break;
    case SAR_FINGER_NOT_EXIST:
        context.report.fail(ExitCode::Failed, QStringLiteral("no finger is enrolled on the key"));
        break;
    case FingerCaptureFailed:
        context.report.fail(ExitCode::Failed, QStringLiteral("the finger was not recognised"));
        break;
    default:
        context.report.fail(ExitCode::DeviceError, QStringLiteral("the sensor failed"), -1, static_cast<int>(result));
        break;
    }
    context.done();
}

// Asks the sensor until it has a result or the wait is over.
void pollFinger(CliContext& context, QDeadlineTimer deadline)
{
    CliContext* c = &context;
    auto finger = std::make_shared<std::uint32_t>(0);
    RunOnKey<std::uint32_t>(
        context, QStringLiteral("K_Wait_Finger"),
        [finger](KeyCall& key) {
            return key.skf(
                [&](Call_GMAPIs_Admin& skf) { return skf.TestFinger(skf.SkfAppHandle, SkfUserType, *finger); });
        },
        [c, finger, deadline](std::uint32_t& result) {
            if (result == FingerSamplePending && deadline.hasExpired()) {
                c->report.fail(
                    ExitCode::Failed,
                    QStringLiteral("no finger was put on the sensor within %1 seconds").arg(kFingerWaitMs / 1000));
                c->done();
            } else if (result == FingerSamplePending) {
                QTimer::singleShot(kPollIntervalMs, c->receiver, [c, deadline] { pollFinger(*c, deadline); });
            } else if (result != SAR_OK) {
                reportTestFailure(*c, result);
            } else {
                const QString serial = serialOf(*c);
                c->report.succeed({{QStringLiteral("serial"), serial},
                                   {QStringLiteral("userType"), QStringLiteral("user")},
                                   {QStringLiteral("finger"), static_cast<int>(*finger)}},
                                  QStringLiteral("finger %1 recognised by key %2\n").arg(*finger).arg(serial));
                c->done();
            }
        });
}

} // namespace

void RunFingerList(CliContext& context)
{
    CliContext* c = &context;
    readFingers(context, [c](const FingerInfo& info) {
        const QList<int> fingers = Call_GMAPIs_Admin::EnrolledFingers(info);
        QJsonArray numbers;
        QStringList texts;
        for (const int finger : fingers) {
            numbers.append(finger);
            texts.append(QString::number(finger));
        }
        const QString serial = serialOf(*c);
        const QJsonObject user{{QStringLiteral("type"), QStringLiteral("user")},
                               {QStringLiteral("fingers"), numbers},
                               {QStringLiteral("triesLeft"), static_cast<int>(info.retryLeft)},
                               {QStringLiteral("maxTries"), static_cast<int>(info.value2)}};
        c->report.succeed({{QStringLiteral("serial"), serial},
                           {QStringLiteral("sensor"),
                            c->service.FingerVein() ? QStringLiteral("finger-vein") : QStringLiteral("fingerprint")},
                           {QStringLiteral("users"), QJsonArray{user}}},
                          QStringLiteral("user fingers of key %1: %2 (%3 of %4 tries left)\n")
                              .arg(serial, texts.isEmpty() ? QStringLiteral("none") : texts.join(QStringLiteral(", ")))
                              .arg(info.retryLeft)
                              .arg(info.value2));
        c->done();
    });
}

void RunFingerTest(CliContext& context)
{
    CliContext* c = &context;
    // As on the fingerprint page: a locked check or no finger is said before the sensor waits.
    readFingers(context, [c](const FingerInfo& info) {
        if (info.retryLeft == 0) {
            reportTestFailure(*c, SAR_PIN_LOCKED);
            return;
        }
        if (info.enrolledCount == 0) {
            reportTestFailure(*c, SAR_FINGER_NOT_EXIST);
            return;
        }
        RunOnKey<std::uint32_t>(
            *c, QStringLiteral("K_Wait_Finger"),
            [](KeyCall& key) {
                return key.skf([](Call_GMAPIs_Admin& skf) { return skf.VerifyInit(skf.SkfAppHandle, SkfUserType); });
            },
            [c](std::uint32_t& started) {
                if (started != SAR_OK) {
                    reportTestFailure(*c, started);
                    return;
                }
                if (::isatty(STDERR_FILENO) == 1) {
                    std::fprintf(stderr, "Put an enrolled finger on the sensor of key %s\n", qPrintable(serialOf(*c)));
                }
                pollFinger(*c, QDeadlineTimer(kFingerWaitMs));
            });
    });
}

} // namespace kx::cli
