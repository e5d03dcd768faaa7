// SPDX-License-Identifier: Apache-2.0
#include "CertJobs.h"

#include "KeyCall.h"
#include "KeyWrites.h"

#include "common/TextConversions.h"
#include "drivers/drevmor/drevmor.h"
#include "token/CertRegistration.h"
#include "token/CertificateChain.h"
#include "token/TokenWrappers.h"

#include <QFile>

#include <memory>

namespace kx {

namespace {

// Larger than any certificate file a key's certificate comes in.
constexpr qint64 kMaxCertificateFileSize = 1024 * 1024;

// Reads one key pair of a container into `pair`.
void readPair(const KeyCall& key, const QByteArray& container, int keySpec, KeyPairData& pair)
{
    auto cert = std::make_unique<TR7CertInfo>();
    if (key.at([&](int position) { return ReadContainerCert(position, container, keySpec, *cert); }) != 0) {
        return;
    }
    pair.certificate = true;
    pair.der = cert->der();
    pair.subject = cert->subject;
    pair.certType = cert->certType;
    pair.keyBits = cert->keyBits;
    int algorithm = 0;
    pair.publicKey =
        key.at([&](int position) { return container_get_pubkey(position, container, keySpec, algorithm); }) == 0;
    pair.publicAlgorithm = algorithm;
    int privateAlgorithm = 0;
    pair.privateKey = key.at([&](int position) {
        return container_get_prikey(position, container, keySpec, &privateAlgorithm);
    }) == 0;
    pair.privateAlgorithm = privateAlgorithm;
}

// The container and key pair whose public key is that of the certificate file's certificate and
// that holds no certificate yet.
bool findPairOfCertificate(const KeyCall& key, const QString& path, QByteArray& container, int& keySpec)
{
    QFile file(path);
    if (file.size() > kMaxCertificateFileSize || !file.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QByteArray der = PemDecode(file.read(kMaxCertificateFileSize), "CERTIFICATE");
    if (der.isEmpty()) {
        return false;
    }
    key.step(QStringLiteral("K_Wait_Read"));
    QByteArray found;
    int foundSpec = 0;
    if (key.at([&](int position) { return container_find_by_cert(position, der, found, foundSpec); }) != 0) {
        return false;
    }
    // A pair that has its certificate already is not waiting for this one: the certificate goes
    // where the user chose, as any certificate without its key.
    QByteArray held;
    if (key.at([&](int position) { return container_get_cert(position, found, foundSpec, held); }) != DRV_NOT_FOUND) {
        return false;
    }
    container = found;
    keySpec = foundSpec;
    return true;
}

int importCertificate(const KeyCall& key, const ImportRequest& request, const QByteArray& container, int keySpec,
                      int index)
{
    return key.at([&](int position) {
        switch (request.fileType) {
        case 0:
            return pkcs12_import_certificate(position, container, keySpec, index);
        case 1:
            return x509_import_certificate(position, container, keySpec, request.path);
        default:
            return p7b_import_certificate(position, container, keySpec, index);
        }
    });
}

} // namespace

const ContainerData* CertTreeData::find(const QByteArray& name) const
{
    for (const ContainerData& container : containers) {
        if (container.name == name) {
            return &container;
        }
    }
    return nullptr;
}

QList<QByteArray> CertTreeData::names() const
{
    QList<QByteArray> out;
    for (const ContainerData& container : containers) {
        out.append(container.name);
    }
    return out;
}

QByteArray CertTreeData::pemChainOf(const QByteArray& der) const
{
    QList<QByteArray> held;
    for (const ContainerData& container : containers) {
        for (const KeyPairData& pair : container.pairs) {
            if (pair.certificate) {
                held.append(pair.der);
            }
        }
    }
    QByteArray bundle;
    for (const QByteArray& cert : CertificateChain(der, held)) {
        bundle += PemEncode(cert, "CERTIFICATE");
    }
    return bundle;
}

CertTreeData ReadCertTree(const KeyCall& key, bool reload)
{
    CertTreeData tree;
    if (reload) {
        key.step(QStringLiteral("K_Wait_Read"));
        key.reloadObjects();
    }
    key.step(QStringLiteral("K_Wait_Read"));
    TR7Info info;
    tree.result = key.containerNames(info);
    if (tree.result != 0) {
        return tree;
    }
    key.step(QStringLiteral("K_Wait_Read"));
    for (const QByteArray& name : info.containerNames) {
        if (key.cancelled()) {
            break;
        }
        ContainerData container;
        container.name = name;
        readPair(key, name, kKeySpecExchange, container.pairs[0]);
        readPair(key, name, kKeySpecSignature, container.pairs[1]);
        tree.containers.push_back(std::move(container));
    }
    return tree;
}

int ReadCertificate(const KeyCall& key, const QByteArray& container, int keySpec, QByteArray& der)
{
    key.step(QStringLiteral("K_Wait_Read"));
    return key.at([&](int position) { return container_get_cert(position, container, keySpec, der); });
}

int DeleteFromKey(const KeyCall& key, const KeyJournal& journal, const QByteArray& container, int keySpec)
{
    if (const int unsettled = SettleBeforeWriting(key, journal)) {
        return unsettled;
    }
    JournalEntry entry;
    entry.kind = keySpec == 0 ? JournalEntry::Kind::DeleteContainer : JournalEntry::Kind::DeleteCertificate;
    entry.container = container;
    entry.keySpec = keySpec;
    key.step(QStringLiteral("K_Wait_Other"));
    const auto write = journal.begin(key.key(), entry);
    key.step(keySpec == 0 ? QStringLiteral("K_Wait_Delete") : QStringLiteral("K_Wait_Delete"));
    const int result = key.at([&](int position) {
        return keySpec == 0 ? container_delete(position, container)
                            : container_delete_cert(position, container, keySpec);
    });
    // A deletion refused at once changed nothing; one that failed on the way is finished when the
    // key is seen again.
    if (result == 0 || RefusedBeforeWriting(result)) {
        write->done();
    }
    return result;
}

int DeleteFromKeyAndStore(const KeyCall& key, const KeyJournal& journal, const QString& cspName,
                          const QByteArray& container, int keySpec)
{
    // The certificate's bytes say which one leaves the user's store with it.
    QByteArray der;
    if (keySpec != 0) {
        ReadCertificate(key, container, keySpec, der);
    }
    const int result = DeleteFromKey(key, journal, container, keySpec);
    if (result == 0) {
        RemoveStoreCertsOfContainer(cspName, container, der.isEmpty() ? std::nullopt : std::optional<QByteArray>(der));
    }
    return result;
}

ImportOutcome ImportIntoKey(const KeyCall& key, const KeyJournal& journal, const ImportRequest& request,
                            const std::shared_ptr<ImportProgress>& progress)
{
    ImportOutcome outcome;
    QList<QByteArray> existing = request.existingContainers;
    const bool pkcs12 = request.fileType == 0;
    QByteArray container = request.container;
    int keySpec = request.keySpec;
    const int count = std::max(1, request.certificateCount);
    if (const int unsettled = SettleBeforeWriting(key, journal)) {
        outcome.result = unsettled;
        outcome.failedCertificate = 0;
        return outcome;
    }
    if (request.fileType == 1 && findPairOfCertificate(key, request.path, container, keySpec)) {
        outcome.matchedContainer = container;
        outcome.matchedKeySpec = keySpec;
    }
    for (int index = 0; index < count; ++index) {
        if (key.cancelled()) {
            break;
        }
        progress->certificate = index;
        if (progress->certificateStarted) {
            progress->certificateStarted(index);
        }
        if (count > 1) {
            FileCertInfo described;
            const int read = request.fileType == 2 ? p7b_file_get_certinfo(index, described)
                                                   : pkcs12_file_get_certinfo(index, described);
            if (read == 0) {
                // The user's certificate goes where the user chose; each authority into a
                // container of its own.
                if (described.certType == kCertEndEntity) {
                    container = request.container;
                    keySpec = request.keySpec;
                } else {
                    container = NewGUIDText().toLatin1();
                    keySpec = kKeySpecSignature;
                }
            }
        }
        progress->progressStep = pkcs12 ? 5 : 3;
        progress->timerInterval = 150;
        JournalEntry entry;
        entry.kind = JournalEntry::Kind::Import;
        entry.container = container;
        entry.keySpec = keySpec;
        entry.newContainer = !existing.contains(container);
        // Until the key pair was looked at, an undo keeps any keys it has.
        entry.pairWasEmpty = false;
        key.step(QStringLiteral("K_Wait_Other"));
        const auto write = journal.begin(key.key(), entry);
        bool created = false;
        int result = 0;
        if (entry.newContainer) {
            // Creating the container comes first, so the bar moves more slowly.
            progress->progressStep = pkcs12 ? 3 : 2;
            progress->timerInterval = 350;
            key.step(QStringLiteral("K_Wait_Container"));
            result = key.at([&](int position) { return container_create_new(position, container); });
            created = result == 0;
            entry.pairWasEmpty = true;
        } else {
            key.step(QStringLiteral("K_Wait_Read"));
            entry.pairWasEmpty = !PairHasKeys(key, container, keySpec);
            write->update(entry);
        }
        if (result == 0) {
            key.step(pkcs12 && index == 0 ? QStringLiteral("K_Wait_PrivateKey") : QStringLiteral("K_Wait_Write"));
            result = importCertificate(key, request, container, keySpec, index);
        }
        // A failed certificate leaves the key as before: what it wrote is taken back at once, or
        // when the key is seen again.
        const bool wroteSomething = created || !RefusedBeforeWriting(result);
        if (result == 0 || !wroteSomething || UndoWrite(key, entry) == 0) {
            write->done();
        }
        if (result != 0) {
            outcome.result = result;
            outcome.failedCertificate = index;
            return outcome;
        }
        ++outcome.imported;
        existing.append(container);
    }
    return outcome;
}

const char* CertFileRefusalKey(int result)
{
    switch (result) {
    case DRV_CERT_TOO_LARGE:
        return "K_Len_Error";
    case DRV_KEY_MISMATCH:
        return "I_CertFileError";
    default:
        return "";
    }
}

RegistrationOutcome RegisterKey(const KeyCall& key, const QString& cspName, int regCertMode, bool reload)
{
    RegistrationOutcome outcome;
    if (reload) {
        key.step(QStringLiteral("K_Wait_Read"));
        key.reloadObjects();
    }
    key.step(QStringLiteral("K_Wait_Register"));
    TR7Info info;
    std::optional<QSet<QByteArray>> containers;
    outcome.result = key.at([&](int position) {
        return RegisterKeyCertificates(position, info, cspName, regCertMode, containers, outcome.undecidedRoots);
    });
    // The container list is read first: once it was, the names are all the key holds.
    outcome.containersRead = containers.has_value();
    if (containers) {
        outcome.containers = *containers;
    }
    return outcome;
}

SettledWrite SettleJournal(const KeyCall& key, const KeyJournal& journal)
{
    SettledWrite settled;
    const auto pending = journal.pending(key.key());
    if (!pending) {
        return settled;
    }
    settled.entry = pending->entry();
    const JournalEntry& entry = settled.entry;
    key.step(QStringLiteral("K_Wait_Journal"));
    int result = 0;
    switch (entry.kind) {
    case JournalEntry::Kind::Import: {
        QByteArray der;
        result =
            key.at([&](int position) { return container_get_cert(position, entry.container, entry.keySpec, der); });
        if (result == 0) {
            settled.outcome = SettledWrite::Outcome::Finished;
            break;
        }
        if (result != DRV_NOT_FOUND) {
            break;
        }
        // No certificate: the import did not get to its end, and what it wrote goes.
        result = 0;
        if (entry.newContainer) {
            result = key.at([&](int position) { return container_delete(position, entry.container); });
        } else if (entry.pairWasEmpty) {
            result = key.at(
                [&](int position) { return container_delete_keypair(position, entry.container, entry.keySpec); });
        }
        if (result == 0 || result == DRV_NOT_FOUND) {
            result = 0;
            settled.outcome = SettledWrite::Outcome::Undone;
        }
        break;
    }
    case JournalEntry::Kind::Generate:
        // A generation cut short: its request never reached the user, so the key pair goes, with
        // the container made for it.
        result = UndoWrite(key, entry);
        if (result == 0) {
            settled.outcome = SettledWrite::Outcome::Undone;
        }
        break;
    case JournalEntry::Kind::DeleteContainer:
    case JournalEntry::Kind::DeleteCertificate:
        result = key.at([&](int position) {
            return entry.kind == JournalEntry::Kind::DeleteContainer
                       ? container_delete(position, entry.container)
                       : container_delete_cert(position, entry.container, entry.keySpec);
        });
        if (result == 0 || result == DRV_NOT_FOUND) {
            result = 0;
            settled.outcome = SettledWrite::Outcome::Finished;
        }
        break;
    }
    settled.code = result;
    if (settled.outcome == SettledWrite::Outcome::Finished || settled.outcome == SettledWrite::Outcome::Undone) {
        pending->settled();
    } else {
        settled.outcome = NeedsLogin(result) ? SettledWrite::Outcome::NeedsLogin : SettledWrite::Outcome::Failed;
    }
    return settled;
}

int SettleBeforeWriting(const KeyCall& key, const KeyJournal& journal)
{
    const SettledWrite settled = SettleJournal(key, journal);
    switch (settled.outcome) {
    case SettledWrite::Outcome::NeedsLogin:
        return settled.code != 0 ? settled.code : DRV_NOT_LOGGED_IN;
    case SettledWrite::Outcome::Failed:
        return settled.code != 0 ? settled.code : DRV_GENERAL_ERROR;
    case SettledWrite::Outcome::None:
    case SettledWrite::Outcome::Finished:
    case SettledWrite::Outcome::Undone:
        break;
    }
    return 0;
}

} // namespace kx
