// SPDX-License-Identifier: Apache-2.0
#include "CliRunner.h"

#include "FingerCommands.h"
#include "ImportCommand.h"
#include "KeyGenCommands.h"
#include "ReadCommands.h"
#include "StoreCommands.h"
#include "UnlockCommands.h"
#include "WriteCommands.h"

#include "keyservice/KeyService.h"
#include "token/GMAPIs.h"
#include "token/LoginFailure.h"

#include <QCoreApplication>
#include <QStringList>

namespace kx::cli {

namespace {

constexpr int kNoKeyFound = 1;

KeyService::Options serviceOptions(const CliOptions& cli)
{
    KeyService::Options options;
    options.tableSize = 32; // the token library is asked for 32 keys, as the programs do
    // Only the commands that use the SKF application pay for its search.
    options.searchSensors = UsesSkf(cli.command);
    return options;
}

} // namespace

void ReportLoginFailure(CliReport& report, int result, int retriesLeft)
{
    switch (ClassifyLoginFailure(result, retriesLeft)) {
    case LoginFailure::Locked:
        report.fail(ExitCode::PinLocked, QStringLiteral("the PIN is locked"));
        break;
    case LoginFailure::Lockout:
        report.fail(
            ExitCode::PinLocked,
            QStringLiteral("too many wrong PINs: the device refuses logins for a while; the PIN is not locked"));
        break;
    case LoginFailure::WrongPin:
        if (retriesLeft < 0) {
            report.fail(ExitCode::WrongPin, QStringLiteral("wrong PIN"));
        } else {
            report.fail(ExitCode::WrongPin, QStringLiteral("wrong PIN, %1 tries left").arg(retriesLeft), retriesLeft);
        }
        break;
    case LoginFailure::KeyGone:
        report.fail(ExitCode::NoKey, QStringLiteral("the key was pulled"));
        break;
    case LoginFailure::LoginLost:
        report.fail(ExitCode::DeviceError, QStringLiteral("the key lost its session; try again"), -1, result);
        break;
    case LoginFailure::DeviceFailure:
        report.fail(ExitCode::DeviceError, QStringLiteral("the key failed"), -1, result);
        break;
    case LoginFailure::OtherError:
        report.fail(ExitCode::Failed, QStringLiteral("the key refused the login"), -1, result);
        break;
    }
}

bool ReportedLoginFailure(CliReport& report, const LoginOutcome& login)
{
    if (login.locked) {
        report.fail(ExitCode::PinLocked, QStringLiteral("the PIN is locked"));
        return true;
    }
    if (login.result != 0) {
        ReportLoginFailure(report, login.result, login.retriesLeft);
        return true;
    }
    return false;
}

void ReportKeyGone(CliContext& context)
{
    context.report.fail(ExitCode::NoKey, QStringLiteral("the key was pulled"));
    context.done();
}

CliRunner::CliRunner(const CliOptions& options, QObject* parent)
    : QObject(parent), m_options(options), m_service(new KeyService(serviceOptions(options), this)),
      m_report(options.commandName, options.json)
{}

CliRunner::~CliRunner() = default;

void CliRunner::start()
{
    QStringList files;
    if (ReadInstalledAPPInfo(m_app, &files) != 0) {
        m_report.fail(ExitCode::DeviceError, QStringLiteral("the settings (APPInfo.ini) cannot be read"));
        end();
        return;
    }
    if (UsesSkf(m_options.command)) {
        // Without an SKF library every SKF call fails, and the command says the key lacks it.
        SkfLibrary::Load(m_app.SKFLib);
    }
    m_context.reset(new CliContext{m_options, m_app, *m_service, m_report, this, -1, [this] { end(); }});
    m_service->openLibrary(m_app, this, [this](int result) { opened(result); });
}

void CliRunner::opened(int result)
{
    if (result != 0) {
        m_report.fail(ExitCode::DeviceError,
                      QStringLiteral("the token library could not open the key's module %1").arg(m_app.PKCS11Lib), -1,
                      result);
        end();
        return;
    }
    m_service->enumerate(this, [this](const KeyListing& listing) {
        m_service->applyListing(listing);
        // The token library answers 1 when it finds no key.
        if (m_service->KeyCount() == 0 && listing.result != 0 && listing.result != kNoKeyFound) {
            m_report.fail(ExitCode::DeviceError, QStringLiteral("the keys could not be listed"), -1, listing.result);
            end();
            return;
        }
        listed();
    });
}

void CliRunner::listed()
{
    if (m_service->KeyCount() == 0) {
        m_report.fail(ExitCode::NoKey, QStringLiteral("no key is plugged"));
        end();
        return;
    }
    if (!chooseKey()) {
        end();
        return;
    }
    runCommand();
}

bool CliRunner::chooseKey()
{
    const int count = m_service->KeyCount();
    if (m_options.key) {
        for (int i = 0; i < count; ++i) {
            if (m_service->keyInfo(i).serialText() == *m_options.key) {
                m_context->keyIndex = i;
                return true;
            }
        }
        m_report.fail(ExitCode::NoKey, QStringLiteral("no key with serial %1 is plugged").arg(*m_options.key));
        return false;
    }
    if (m_options.command == CliOptions::Command::List) {
        return true; // every key
    }
    if (count > 1) {
        QStringList serials;
        for (int i = 0; i < count; ++i) {
            serials.append(m_service->keyInfo(i).serialText());
        }
        m_report.fail(ExitCode::BadInput, QStringLiteral("%1 keys are plugged (%2): name one with --key SERIAL")
                                              .arg(count)
                                              .arg(serials.join(QStringLiteral(", "))));
        return false;
    }
    m_context->keyIndex = 0;
    return true;
}

void CliRunner::runCommand()
{
    CliContext& context = *m_context;
    using Command = CliOptions::Command;
    switch (m_options.command) {
    case Command::List:
        RunList(context);
        break;
    case Command::Info:
        RunInfo(context);
        break;
    case Command::Certs:
        RunCerts(context);
        break;
    case Command::Export:
        RunExport(context);
        break;
    case Command::Delete:
        RunDelete(context);
        break;
    case Command::Rename:
        RunRename(context);
        break;
    case Command::ChangePin:
        RunChangePin(context);
        break;
    case Command::Import:
        RunImport(context);
        break;
    case Command::Register:
        RunRegister(context);
        break;
    case Command::Unregister:
        RunUnregister(context);
        break;
    case Command::Generate:
        RunGenerate(context);
        break;
    case Command::Request:
        RunRequest(context);
        break;
    case Command::UnlockRequest:
        RunUnlockRequest(context);
        break;
    case Command::UnlockResponse:
        RunUnlockResponse(context);
        break;
    case Command::FingerList:
        RunFingerList(context);
        break;
    case Command::FingerTest:
        RunFingerTest(context);
        break;
    case Command::Help:
    case Command::Version:
        end();
        break;
    }
}

void CliRunner::end()
{
    QCoreApplication::exit(m_report.finish());
}

} // namespace kx::cli
