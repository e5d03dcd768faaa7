// SPDX-License-Identifier: Apache-2.0
#include "KeyGenJobs.h"

#include "CertJobs.h"
#include "CertTreeData.h"
#include "KeyCall.h"
#include "KeyJournal.h"
#include "KeyWrites.h"

#include "drivers/drevmor/drevmor.h"
#include "token/TokenWrappers.h"

#include <QRegularExpression>

namespace kx {

namespace {

// The request step of a generation, and a request on its own: the key signs it.
int createRequest(const KeyCall& key, const KeyGenRequest& request, QByteArray& der)
{
    key.step(QStringLiteral("K_Wait_Request"));
    return key.at([&](int position) {
        return container_create_request(position, request.container, request.keySpec, request.commonName,
                                        request.organization, request.unit, request.country, request.email, der);
    });
}

} // namespace

KeyGenProblem KeyGenSubjectProblem(const KeyGenRequest& request)
{
    if (request.commonName.isEmpty()) {
        return KeyGenProblem::NoCommonName;
    }
    if (request.commonName.size() > kKeyGenNameFieldLength || request.organization.size() > kKeyGenNameFieldLength ||
        request.unit.size() > kKeyGenNameFieldLength || request.email.size() > kKeyGenEmailLength) {
        return KeyGenProblem::FieldTooLong;
    }
    static const QRegularExpression country(QStringLiteral("^[A-Z]{2}$"));
    if (!request.country.isEmpty() && !country.match(request.country).hasMatch()) {
        return KeyGenProblem::BadCountry;
    }
    // The request holds the address as an IA5String: ASCII only.
    static const QRegularExpression email(QStringLiteral("^[!-?A-~]+@[!-?A-~]+$"));
    if (!request.email.isEmpty() && !email.match(request.email).hasMatch()) {
        return KeyGenProblem::BadEmail;
    }
    return KeyGenProblem::None;
}

KeyGenProblem KeyGenRequestProblem(const KeyGenRequest& request, const CertTreeData& tree)
{
    if (request.newContainer) {
        if (request.container.isEmpty()) {
            return KeyGenProblem::NoContainerName;
        }
        if (request.container.size() > kKeyGenContainerNameLength) {
            return KeyGenProblem::ContainerNameTooLong;
        }
        if (tree.find(request.container)) {
            return KeyGenProblem::ContainerExists;
        }
    } else if (const ContainerData* container = tree.find(request.container)) {
        const KeyPairData& pair = container->pairs[request.keySpec == DRV_KEYSPEC_EXCHANGE ? 0 : 1];
        if (pair.certificate || pair.publicKey || pair.privateKey) {
            return KeyGenProblem::PairUsed;
        }
    }
    if (request.choice == 0) {
        return KeyGenProblem::NoAlgorithm;
    }
    return KeyGenSubjectProblem(request);
}

int ReadKeyGenChoices(const KeyCall& key, int& choices)
{
    key.step(QStringLiteral("K_Wait_Info"));
    choices = 0;
    return key.at([&](int position) { return token_get_keygen_choices(position, choices); });
}

KeyGenOutcome GenerateOnKey(const KeyCall& key, const KeyJournal& journal, const KeyGenRequest& request)
{
    KeyGenOutcome outcome;
    if (const int unsettled = SettleBeforeWriting(key, journal)) {
        outcome.result = unsettled;
        outcome.failedStep = request.newContainer ? KeyGenOutcome::Step::Container : KeyGenOutcome::Step::Generation;
        return outcome;
    }
    JournalEntry entry;
    entry.kind = JournalEntry::Kind::Generate;
    entry.container = request.container;
    entry.keySpec = request.keySpec;
    entry.newContainer = request.newContainer;
    // Until the key pair was looked at, an undo keeps any keys it has.
    entry.pairWasEmpty = false;
    key.step(QStringLiteral("K_Wait_Other"));
    const auto write = journal.begin(key.key(), entry);

    bool wrote = false;
    if (request.newContainer) {
        key.step(QStringLiteral("K_Wait_Container"));
        outcome.result = key.at([&](int position) { return container_create_new(position, request.container); });
        outcome.failedStep = KeyGenOutcome::Step::Container;
        entry.pairWasEmpty = outcome.result == 0;
        wrote = outcome.result == 0 || !RefusedBeforeWriting(outcome.result);
    } else {
        key.step(QStringLiteral("K_Wait_Read"));
        entry.pairWasEmpty = !PairHasKeys(key, request.container, request.keySpec);
        write->update(entry);
        // The library refuses a pair that holds keys; asked here, nothing is sent to the key.
        if (!entry.pairWasEmpty) {
            outcome.result = DRV_EXISTS;
        }
    }
    if (outcome.result == 0) {
        key.step(QStringLiteral("K_Wait_Generate"));
        outcome.failedStep = KeyGenOutcome::Step::Generation;
        outcome.result = key.at([&](int position) {
            return container_generate_keypair(position, request.container, request.keySpec, request.choice);
        });
        wrote = wrote || !RefusedBeforeWriting(outcome.result);
    }
    if (outcome.result == 0) {
        wrote = true;
        outcome.failedStep = KeyGenOutcome::Step::Request;
        outcome.result = createRequest(key, request, outcome.request);
    }
    // Either the pair and its request, or the key as before: what was made goes at once, or when
    // the key is seen again.
    if (outcome.result == 0 || !wrote || UndoWrite(key, entry) == 0) {
        write->done();
    }
    if (outcome.result != 0) {
        outcome.request.clear();
    }
    return outcome;
}

KeyGenOutcome RequestForPair(const KeyCall& key, const KeyGenRequest& request)
{
    KeyGenOutcome outcome;
    outcome.failedStep = KeyGenOutcome::Step::Request;
    outcome.result = createRequest(key, request, outcome.request);
    if (outcome.result != 0) {
        outcome.request.clear();
    }
    return outcome;
}

} // namespace kx
