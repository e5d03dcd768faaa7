// SPDX-License-Identifier: Apache-2.0
#include "KeyGenJobs.h"

#include "KeyCall.h"
#include "KeyJournal.h"
#include "KeyWrites.h"

#include "drivers/drevmor/drevmor.h"
#include "token/TokenWrappers.h"

namespace kx {

int ReadKeyGenChoices(const KeyCall& key, int& choices)
{
    key.step(QStringLiteral("K_Wait_Info"));
    choices = 0;
    return key.at([&](int position) { return token_get_keygen_choices(position, choices); });
}

KeyGenOutcome GenerateOnKey(const KeyCall& key, const KeyJournal& journal, const KeyGenRequest& request)
{
    KeyGenOutcome outcome;
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
        key.step(QStringLiteral("K_Wait_Request"));
        outcome.failedStep = KeyGenOutcome::Step::Request;
        outcome.result = key.at([&](int position) {
            return container_create_request(position, request.container, request.keySpec, request.commonName,
                                            request.organization, request.unit, request.country, request.email,
                                            outcome.request);
        });
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

} // namespace kx
