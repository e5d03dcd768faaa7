// SPDX-License-Identifier: Apache-2.0
#include "ImportCommand.h"

#include "ReadCommands.h"
#include "SecretInput.h"
#include "WriteCommands.h"

#include "drivers/drevmor/drevmor.h"
#include "keyservice/CertJobs.h"
#include "keyservice/KeyCall.h"
#include "keyservice/KeyService.h"
#include "keyservice/PinJobs.h"
#include "token/TokenWrappers.h"

#include <QFileInfo>
#include <QJsonObject>

namespace kx::cli {

namespace {

struct Import
{
    int parse = 0;
    int count = 0;
    LoginOutcome login;
    // DRV_EXISTS when the chosen pair already holds a certificate.
    int check = 0;
    ImportOutcome outcome;
};

Import importFile(const KeyCall& key, const KeyJournal& journal, ImportRequest request, const SharedSecret& pin,
                  const SharedSecret& password)
{
    Import import;
    key.step(QStringLiteral("K_Wait_File"));
    if (request.fileType == kFilePkcs12) {
        import.parse = pkcs12_file_parse(request.path, password->text(), import.count);
    } else if (request.fileType == kFilePkcs7) {
        import.parse = p7b_file_parse(request.path, import.count);
    } else {
        import.count = 1;
    }
    if (import.parse != 0) {
        return import;
    }
    import.login = LoginToKey(key, pin, false);
    if (import.login.locked || import.login.result != 0) {
        return import;
    }
    TR7Info info;
    import.check = key.containerNames(info);
    if (import.check == 0) {
        for (const QByteArray& name : info.containerNames) {
            request.existingContainers.append(name);
        }
        QByteArray der;
        if (request.existingContainers.contains(request.container) &&
            ReadCertificate(key, request.container, request.keySpec, der) == 0) {
            import.check = DRV_EXISTS;
        }
    }
    if (import.check == 0) {
        request.certificateCount = import.count;
        import.outcome = ImportIntoKey(key, journal, request, std::make_shared<ImportProgress>());
    }
    LogoutOfKey(key, false);
    return import;
}

void imported(CliContext& context, const Import& import, const ImportRequest& request)
{
    CliReport& report = context.report;
    const QString container = QString::fromLocal8Bit(request.container);
    if (import.parse == DRV_PASSWORD_ERROR) {
        report.fail(ExitCode::BadInput, QStringLiteral("wrong password for %1").arg(request.path));
    } else if (import.parse != 0) {
        report.fail(ExitCode::BadInput, QStringLiteral("%1 is not a certificate file of its kind").arg(request.path),
                    -1, import.parse);
    } else if (import.login.locked) {
        report.fail(ExitCode::PinLocked, QStringLiteral("the PIN is locked"));
    } else if (import.login.result != 0) {
        ReportLoginFailure(report, import.login.result, import.login.retriesLeft);
    } else if (import.check == DRV_EXISTS) {
        report.fail(ExitCode::Failed, QStringLiteral("the %1 pair of container '%2' holds a certificate already")
                                          .arg(PairName(request.keySpec), container));
    } else if (import.check != 0) {
        report.fail(ExitCode::DeviceError, QStringLiteral("the key's containers could not be read"), -1, import.check);
    } else if (import.outcome.result == DRV_CERT_TOO_LARGE || import.outcome.result == DRV_KEY_MISMATCH ||
               import.outcome.result == DRV_FILE_ERROR) {
        report.fail(ExitCode::BadInput,
                    import.outcome.result == DRV_KEY_MISMATCH
                        ? QStringLiteral("the private key of %1 belongs to none of its certificates").arg(request.path)
                        : QStringLiteral("%1 holds a certificate the key cannot take").arg(request.path),
                    -1, import.outcome.result);
    } else if (import.outcome.result == DRV_PRIVATE_KEY_REFUSED) {
        report.fail(ExitCode::Failed,
                    QStringLiteral("this key's module takes no private key from a file, so nothing was written; "
                                   "generate the key pair on the key (kx2700 generate), have its request signed "
                                   "and import the issued certificate"),
                    -1, import.outcome.result);
    } else if (import.outcome.result == DRV_DEVICE_FULL) {
        report.fail(ExitCode::Failed, QStringLiteral("the key has no room for the certificate"), -1,
                    import.outcome.result);
    } else if (import.outcome.result != 0) {
        report.fail(ExitCode::DeviceError,
                    QStringLiteral("the import stopped at certificate %1 of %2; every certificate is on the key whole "
                                   "or not at all")
                        .arg(import.outcome.failedCertificate + 1)
                        .arg(import.count),
                    -1, import.outcome.result);
    } else {
        NoticeKeyChanged();
        // A certificate of a key pair waiting for it went into that pair, not the one named.
        const bool matched = !import.outcome.matchedContainer.isEmpty();
        const QString into = matched ? QString::fromLocal8Bit(import.outcome.matchedContainer) : container;
        const int keySpec = matched ? import.outcome.matchedKeySpec : request.keySpec;
        report.succeed({{QStringLiteral("file"), request.path},
                        {QStringLiteral("container"), into},
                        {QStringLiteral("pair"), PairName(keySpec)},
                        {QStringLiteral("certificates"), import.outcome.imported}},
                       QStringLiteral("%1 certificate(s) of %2 imported into the %3 pair of container '%4'\n")
                           .arg(import.outcome.imported)
                           .arg(request.path, PairName(keySpec), into));
    }
}

} // namespace

int CertFileKind(const QString& path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QStringLiteral("p12") || suffix == QStringLiteral("pfx")) {
        return kFilePkcs12;
    }
    if (suffix == QStringLiteral("p7b") || suffix == QStringLiteral("p7c") || suffix == QStringLiteral("p7")) {
        return kFilePkcs7;
    }
    return kFileX509;
}

void RunImport(CliContext& context)
{
    const QFileInfo file(context.options.file);
    if (!file.isFile() || !file.isReadable()) {
        context.report.fail(ExitCode::BadInput, QStringLiteral("cannot read %1").arg(context.options.file));
        context.done();
        return;
    }
    ImportRequest request;
    request.fileType = CertFileKind(context.options.file);
    request.path = file.absoluteFilePath();
    request.keySpec = context.options.keySpec;
    request.container =
        context.options.container.isEmpty() ? file.completeBaseName().toLocal8Bit() : context.options.container;
    if (request.container.isEmpty() || request.container.size() > 255) {
        context.report.fail(ExitCode::BadInput,
                            QStringLiteral("a container name has 1 to 255 bytes: name one with --container"));
        context.done();
        return;
    }
    CliContext* c = &context;
    WhenPinUsable(context, [c, request](const PinState&) {
        const QString serial = c->service.keyInfo(c->keyIndex).serialText();
        SecretInput pins(c->options.pin, QStringLiteral("PIN"));
        QString error;
        const SharedSecret pin = pins.next(QStringLiteral("PIN of key %1: ").arg(serial), error);
        SharedSecret password = MakeSecret(QString());
        if (pin && request.fileType == kFilePkcs12) {
            SecretInput passwords(c->options.password, QStringLiteral("password"));
            password = passwords.next(QStringLiteral("Password of %1: ").arg(request.path), error);
        }
        if (!pin || !password) {
            c->report.fail(ExitCode::BadInput, error);
            c->done();
            return;
        }
        const KeyJournal* journal = &c->service.journal();
        RunOnKey<Import>(
            *c, QStringLiteral("K_Wait_Write"),
            [journal, request, pin, password](KeyCall& key) {
                return importFile(key, *journal, request, pin, password);
            },
            [c, request](Import& import) {
                imported(*c, import, request);
                c->done();
            });
    });
}

} // namespace kx::cli
