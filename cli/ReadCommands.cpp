// SPDX-License-Identifier: Apache-2.0
#include "ReadCommands.h"

#include "CertificateKey.h"
#include "OutputDelivery.h"

#include "drivers/drevmor/drevmor.h"
#include "keyservice/CertJobs.h"
#include "keyservice/KeyCall.h"
#include "keyservice/KeyService.h"
#include "keyservice/PinJobs.h"
#include "token/CertificateChain.h"
#include "token/TokenWrappers.h"

#include <QJsonArray>

#include <memory>

namespace kx::cli {

namespace {

QString versionText(int version)
{
    return QString::asprintf("%d.%.2d", version / 256, version % 256);
}

QString pinStateName(const PinState& pin)
{
    if (pin.locked()) {
        return QStringLiteral("locked");
    }
    return pin.defaultPin() ? QStringLiteral("default") : QStringLiteral("ok");
}

QJsonObject pinJson(const PinStateOutcome& pin)
{
    if (pin.result != 0) {
        return {{QStringLiteral("state"), QStringLiteral("unknown")}};
    }
    // A module without a counter (a TPM's) gives null, not "-1 of -1".
    const bool counted = pin.state.countKnown();
    return {{QStringLiteral("state"), pinStateName(pin.state)},
            {QStringLiteral("triesLeft"), counted ? QJsonValue(pin.state.retriesLeft()) : QJsonValue()},
            {QStringLiteral("maxTries"), counted ? QJsonValue(pin.state.maxRetries()) : QJsonValue()}};
}

QString pinText(const PinStateOutcome& pin)
{
    if (pin.result != 0) {
        return QStringLiteral("unknown");
    }
    if (!pin.state.countKnown()) {
        return QStringLiteral("%1, tries not counted by the module").arg(pinStateName(pin.state));
    }
    return QStringLiteral("%1, %2 of %3 tries left")
        .arg(pinStateName(pin.state))
        .arg(pin.state.retriesLeft())
        .arg(pin.state.maxRetries());
}

// Reads the PIN state of the listed keys one after another from `next` on, into `states`.
void listFrom(CliContext& context, int next, std::shared_ptr<std::vector<PinStateOutcome>> states)
{
    KeyService& service = context.service;
    if (next >= service.KeyCount() || (context.keyIndex >= 0 && next > context.keyIndex)) {
        QJsonArray keys;
        QString text = QStringLiteral("%1  %2  %3\n")
                           .arg(QStringLiteral("SERIAL"), -20)
                           .arg(QStringLiteral("LABEL"), -24)
                           .arg(QStringLiteral("PIN"));
        const int first = context.keyIndex >= 0 ? context.keyIndex : 0;
        for (int i = first; i < first + static_cast<int>(states->size()); ++i) {
            const TR7Info& info = service.keyInfo(i);
            const PinStateOutcome& pin = (*states)[static_cast<std::size_t>(i - first)];
            keys.append(QJsonObject{{QStringLiteral("serial"), info.serialText()},
                                    {QStringLiteral("label"), info.labelText()},
                                    {QStringLiteral("pin"), pinJson(pin)}});
            text +=
                QStringLiteral("%1  %2  %3\n").arg(info.serialText(), -20).arg(info.labelText(), -24).arg(pinText(pin));
        }
        context.report.succeed({{QStringLiteral("keys"), keys}}, text);
        context.done();
        return;
    }
    const int index = next < context.keyIndex ? context.keyIndex : next;
    CliContext* c = &context;
    const bool posted = service.run<PinStateOutcome>(
        index, QStringLiteral("K_Wait_Info"), [](KeyCall& key) { return ReadPinState(key); }, context.receiver,
        [c, index, states](PinStateOutcome& pin, int) {
            states->push_back(pin);
            listFrom(*c, index + 1, states);
        });
    if (!posted) {
        // A token without a serial number (a free slot) has no identity to post a job for: it is
        // listed without its PIN state.
        PinStateOutcome unknown;
        unknown.result = -1;
        states->push_back(unknown);
        listFrom(context, index + 1, states);
    }
}

struct InfoRead
{
    int result = 0;
    TR7Info info;
    PinStateOutcome pin;
};

QJsonObject certificateJson(const TR7CertInfo& cert)
{
    const CertificateKey key = CertificateKeyOf(cert.der());
    return {{QStringLiteral("subject"), cert.subject},
            {QStringLiteral("issuer"), cert.issuer},
            {QStringLiteral("notBefore"), cert.notBeforeText},
            {QStringLiteral("notAfter"), cert.notAfterText},
            {QStringLiteral("keyAlgorithm"), key.algorithm},
            {QStringLiteral("keyBits"), key.bits},
            {QStringLiteral("kind"), cert.certType == kCertRoot ? QStringLiteral("root")
                                     : cert.certType == kCertCA ? QStringLiteral("ca")
                                                                : QStringLiteral("end-entity")}};
}

QString certificateText(const QString& pair, const TR7CertInfo* cert)
{
    if (!cert) {
        return QStringLiteral("  %1: no certificate\n").arg(pair);
    }
    const QJsonObject json = certificateJson(*cert);
    return QStringLiteral("  %1 certificate (%2)\n    subject: %3\n    issuer:  %4\n    valid:   %5 to %6\n"
                          "    key:     %7 %8\n")
        .arg(pair, json.value(QStringLiteral("kind")).toString(), cert->subject, cert->issuer, cert->notBeforeText,
             cert->notAfterText, json.value(QStringLiteral("keyAlgorithm")).toString())
        .arg(json.value(QStringLiteral("keyBits")).toInt());
}

// The containers of a key with the certificate of each pair (null where there is none).
struct CertsRead
{
    int result = 0;
    std::vector<QByteArray> names;
    std::vector<std::array<std::shared_ptr<TR7CertInfo>, 2>> certs;
};

CertsRead readCerts(const KeyCall& key)
{
    CertsRead read;
    TR7Info info;
    read.result = key.containerNames(info);
    if (read.result != 0) {
        return read;
    }
    for (const QByteArray& name : info.containerNames) {
        std::array<std::shared_ptr<TR7CertInfo>, 2> pairs;
        for (int spec = kKeySpecExchange; spec <= kKeySpecSignature; ++spec) {
            auto cert = std::make_shared<TR7CertInfo>();
            if (key.at([&](int position) { return ReadContainerCert(position, name, spec, *cert); }) == 0) {
                pairs[static_cast<std::size_t>(spec - 1)] = cert;
            }
        }
        read.names.push_back(name);
        read.certs.push_back(pairs);
    }
    return read;
}

void exported(CliContext& context, int result, const QByteArray& der, const QByteArray& chain)
{
    const CliOptions& options = context.options;
    const QString container = QString::fromLocal8Bit(options.container);
    const QString pair = PairName(options.keySpec);
    if (result == DRV_NOT_FOUND) {
        context.report.fail(ExitCode::Failed,
                            QStringLiteral("the key holds no %1 certificate in container '%2'").arg(pair, container));
        return;
    }
    if (result != 0) {
        context.report.fail(ExitCode::DeviceError, QStringLiteral("the certificate could not be read"), -1, result);
        return;
    }
    const bool pem = options.pem || options.chain;
    const QByteArray bytes = options.chain ? chain : pem ? PemEncode(der, "CERTIFICATE") : der;
    QJsonObject fields{{QStringLiteral("container"), container}, {QStringLiteral("pair"), pair}};
    if (options.chain) {
        fields.insert(QStringLiteral("certificates"), static_cast<int>(bytes.count("-----BEGIN CERTIFICATE-----")));
    }
    DeliverBytes(context, bytes, pem, fields,
                 QStringLiteral("%1 certificate of '%2'%3")
                     .arg(pair, container, options.chain ? QStringLiteral(" with its chain") : QString()));
}

} // namespace

QString PairName(int keySpec)
{
    switch (keySpec) {
    case kKeySpecExchange:
        return QStringLiteral("exchange");
    case kKeySpecSignature:
        return QStringLiteral("signature");
    default:
        return QStringLiteral("container");
    }
}

void RunList(CliContext& context)
{
    listFrom(context, 0, std::make_shared<std::vector<PinStateOutcome>>());
}

void RunInfo(CliContext& context)
{
    CliContext* c = &context;
    RunOnKey<InfoRead>(
        context, QStringLiteral("K_Wait_Info"),
        [](KeyCall& key) {
            InfoRead read;
            read.result = key.info(read.info);
            read.pin = ReadPinState(key);
            return read;
        },
        [c](InfoRead& read) {
            if (read.result != 0) {
                c->report.fail(ExitCode::DeviceError, QStringLiteral("the key's information could not be read"), -1,
                               read.result);
                c->done();
                return;
            }
            const TR7Info& info = read.info;
            const QJsonObject key{{QStringLiteral("serial"), info.serialText()},
                                  {QStringLiteral("label"), info.labelText()},
                                  {QStringLiteral("manufacturer"), info.manufacturerText()},
                                  {QStringLiteral("model"), info.modelText()},
                                  {QStringLiteral("pin"), pinJson(read.pin)},
                                  {QStringLiteral("minPinLength"), info.minPinLen},
                                  {QStringLiteral("maxPinLength"), info.maxPinLen},
                                  {QStringLiteral("totalMemory"), info.totalMemory},
                                  {QStringLiteral("freeMemory"), info.freeMemory},
                                  {QStringLiteral("hardwareVersion"), versionText(info.hardwareVersion)},
                                  {QStringLiteral("firmwareVersion"), versionText(info.firmwareVersion)},
                                  {QStringLiteral("initialised"), info.initialised != 0},
                                  {QStringLiteral("containers"), info.containerCount}};
            const QString text =
                QStringLiteral("Serial:            %1\nLabel:             %2\nManufacturer:      %3\n"
                               "Model:             %4\nPIN:               %5\nPIN length:        %6 to %7\n"
                               "Memory:           ")
                    .arg(info.serialText(), info.labelText(), info.manufacturerText(), info.modelText(),
                         pinText(read.pin))
                    .arg(info.minPinLen)
                    .arg(info.maxPinLen) +
                QStringLiteral(" %1 of %2 bytes free\nHardware version:  %3\nFirmware version:  %4\n"
                               "Initialised:       %5\nContainers:        %6\n")
                    .arg(info.freeMemory)
                    .arg(info.totalMemory)
                    .arg(versionText(info.hardwareVersion), versionText(info.firmwareVersion),
                         info.initialised != 0 ? QStringLiteral("yes") : QStringLiteral("no"))
                    .arg(info.containerCount);
            c->report.succeed({{QStringLiteral("key"), key}}, text);
            c->done();
        });
}

void RunCerts(CliContext& context)
{
    CliContext* c = &context;
    RunOnKey<CertsRead>(
        context, QStringLiteral("K_Wait_Read"), [](KeyCall& key) { return readCerts(key); },
        [c](CertsRead& read) {
            if (read.result != 0) {
                c->report.fail(ExitCode::DeviceError, QStringLiteral("the key's containers could not be read"), -1,
                               read.result);
                c->done();
                return;
            }
            const TR7Info& info = c->service.keyInfo(c->keyIndex);
            QJsonArray containers;
            QString text;
            for (std::size_t i = 0; i < read.names.size(); ++i) {
                const QString name = QString::fromLocal8Bit(read.names[i]);
                QJsonObject container{{QStringLiteral("name"), name}};
                text += QStringLiteral("container %1\n").arg(name);
                for (int spec = kKeySpecExchange; spec <= kKeySpecSignature; ++spec) {
                    const auto& cert = read.certs[i][static_cast<std::size_t>(spec - 1)];
                    container.insert(PairName(spec), cert ? QJsonValue(certificateJson(*cert)) : QJsonValue());
                    text += certificateText(PairName(spec), cert.get());
                }
                containers.append(container);
            }
            if (read.names.empty()) {
                text = QStringLiteral("no containers\n");
            }
            const QJsonObject key{{QStringLiteral("serial"), info.serialText()},
                                  {QStringLiteral("label"), info.labelText()}};
            c->report.succeed({{QStringLiteral("key"), key}, {QStringLiteral("containers"), containers}}, text);
            c->done();
        });
}

void RunExport(CliContext& context)
{
    struct Read
    {
        int result = 0;
        QByteArray der;
        QByteArray chain;
    };
    CliContext* c = &context;
    const QByteArray container = context.options.container;
    const int keySpec = context.options.keySpec;
    const bool chain = context.options.chain;
    RunOnKey<Read>(
        context, QStringLiteral("K_Wait_Read"),
        [container, keySpec, chain](KeyCall& key) {
            Read read;
            read.result = ReadCertificate(key, container, keySpec, read.der);
            if (read.result == 0 && chain) {
                read.chain = ReadCertTree(key, false).pemChainOf(read.der);
            }
            return read;
        },
        [c](Read& read) {
            exported(*c, read.result, read.der, read.chain);
            c->done();
        });
}

} // namespace kx::cli
