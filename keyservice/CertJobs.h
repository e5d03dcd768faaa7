// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "CertTreeData.h"
#include "KeyJournal.h"

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

namespace kx {

class KeyCall;

// The certificate work on one key, run as jobs on the key's lane. Every write that changes more
// than one object is entered in the key's journal first and struck off when it ended, or was
// undone, so a write cut short leaves the key as before or as after once the key is seen again.

// Reads the containers of the key with their certificates and key pairs (the key's objects read
// again first with `reload`).
CertTreeData ReadCertTree(const KeyCall& key, bool reload);

// Reads the certificate of one key pair: 0 and its DER bytes, or the library's code.
int ReadCertificate(const KeyCall& key, const QByteArray& container, int keySpec, QByteArray& der);

// Deletes a container with its keys and certificates, or the certificate of one key pair
// (`keySpec` 1 or 2; 0 for the whole container). Returns the library's code.
int DeleteFromKey(const KeyCall& key, const KeyJournal& journal, const QByteArray& container, int keySpec);

// The same, and on success the deleted certificates leave the user's personal store (those bound
// to `cspName` and the container; with `keySpec` only the certificate the pair held).
int DeleteFromKeyAndStore(const KeyCall& key, const KeyJournal& journal, const QString& cspName,
                          const QByteArray& container, int keySpec);

// How far a running import has come, written by the import and read by the window's progress
// timer.
struct ImportProgress
{
    std::atomic<int> progressStep{0};
    std::atomic<int> timerInterval{2000};
    std::atomic<int> certificate{0};
    // Told on the import's thread when it starts each certificate; set before the import starts.
    std::function<void(int certificate)> certificateStarted;
};

// A certificate file to write into a container of the key, the file parsed in this program.
struct ImportRequest
{
    int fileType = 0; // 0 PKCS#12, 1 X.509, 2 PKCS#7
    QString path;
    int certificateCount = 1;
    QByteArray container;
    int keySpec = 1;
    // The key's containers when the import was asked for: a target not among them is created.
    QList<QByteArray> existingContainers;
};

struct ImportOutcome
{
    // 0, or the code of the certificate that failed (and ended the import).
    int result = 0;
    int failedCertificate = -1;
    // Certificates written.
    int imported = 0;
    // A certificate file whose public key is that of a key pair on the key went into that pair:
    // its container (empty otherwise) and key specification.
    QByteArray matchedContainer;
    int matchedKeySpec = 0;
};

// Imports every certificate of the file: an X.509 certificate whose public key is that of a key
// pair on the key still without its certificate into that pair, whatever container was chosen; a single certificate
// into the chosen container; of several, the end-entity ones into the chosen container and each authority into a new
// container of its own as a signature certificate. Each certificate is written whole or not at all: a container made
// for it is taken back when it does not go in.
ImportOutcome ImportIntoKey(const KeyCall& key, const KeyJournal& journal, const ImportRequest& request,
                            const std::shared_ptr<ImportProgress>& progress);

// The message for a certificate file the token library refused for what it holds: a certificate
// too large to be read back from a key (K_Len_Error), or a private key that belongs to none of
// the file's certificates (I_CertFileError). Empty for any other result.
const char* CertFileRefusalKey(int result);

// What a registration of a key's certificates gives: its result (0, the code of the container
// list, 10000 + c or 20000 + c for a failed registration) and the containers the key holds
// (complete only when the list was read).
struct RegistrationOutcome
{
    int result = 0;
    bool containersRead = false;
    QSet<QByteArray> containers;
    // The key's root certificates (DER) the user has not yet said whether to trust; they are not
    // in the desktop's databases until the user agrees.
    QList<QByteArray> undecidedRoots;
};

// Registers the key's certificates in the user's stores (reading its objects again first with
// `reload`).
RegistrationOutcome RegisterKey(const KeyCall& key, const QString& cspName, int regCertMode, bool reload);

// A journal entry found for a key and what became of it.
struct SettledWrite
{
    enum class Outcome
    {
        None,       // no entry, or another program is writing to the key
        Finished,   // the write was completed
        Undone,     // the write was taken back
        NeedsLogin, // the key must be logged in first; the entry stays
        Failed,     // the key did not let it happen now; the entry stays
    };
    Outcome outcome = Outcome::None;
    JournalEntry entry;
    int code = 0;
};

// Settles the key's pending journal entry: an import is finished when its certificate is on the
// key and undone otherwise; a generation is undone; a deletion is finished.
SettledWrite SettleJournal(const KeyCall& key, const KeyJournal& journal);

// Before a write: a key holds one journal entry, and a new write's entry would replace one still
// pending (a write whose undo the key did not let happen), so that one is settled first. 0 when
// nothing is left pending, else the code that kept the entry (the new write is then not made).
int SettleBeforeWriting(const KeyCall& key, const KeyJournal& journal);

} // namespace kx
