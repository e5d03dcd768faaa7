// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

namespace kx {

// One write to a key that changes more than one object, as the journal records it.
struct JournalEntry
{
    enum class Kind
    {
        Import,            // a certificate (with its keys) into a container
        DeleteContainer,   // a container with its keys and certificates
        DeleteCertificate, // the certificate of one key pair
        Generate,          // a key pair generated on the key, and its certificate request
    };

    Kind kind = Kind::Import;
    QByteArray container;
    int keySpec = 0;
    // Import, generation: the container was created for this write.
    bool newContainer = false;
    // Import, generation: the key pair held no keys before.
    bool pairWasEmpty = true;

    QByteArray text() const;
    static std::optional<JournalEntry> parse(const QByteArray& text);
};

// The writes in progress on the user's keys, one file per key in the user's data folder
// ($XDG_DATA_HOME/kx2700/journal). A write that changes several objects of a key is entered
// before its first object and struck off after its last, so a write cut short by a pulled key, a
// failing key or a killed program is found when the key is seen again, and finished or undone
// then. Each key also has a lock file there: the programs of the user (and the command line) hold
// it while they write to the key, so two programs never write to one key at once, and a pending
// entry is taken up only when no program is writing.
class KeyJournal
{
public:
    // A write in progress: holds the key's lock; the entry stays unless `done` strikes it off.
    class Write
    {
    public:
        ~Write();
        Write(const Write&) = delete;
        Write& operator=(const Write&) = delete;
        // False when the entry could not be written (the write then goes on unrecorded).
        bool recorded() const { return m_recorded; }
        // The write learnt more of the key's state before it: the entry says so now.
        void update(const JournalEntry& entry);
        // The write finished (or was undone): the entry goes.
        void done();

    private:
        friend class KeyJournal;
        Write() = default;
        QString m_entryPath;
        int m_lockFd = -1;
        bool m_recorded = false;
    };

    // An entry left by a write that did not finish, with the key's lock held until it is settled.
    class Pending
    {
    public:
        ~Pending();
        Pending(const Pending&) = delete;
        Pending& operator=(const Pending&) = delete;
        const JournalEntry& entry() const { return m_entry; }
        // The entry was settled: it goes.
        void settled();

    private:
        friend class KeyJournal;
        Pending() = default;
        JournalEntry m_entry;
        QString m_entryPath;
        int m_lockFd = -1;
    };

    // The journal in `folder` (created when needed, closed to other users).
    explicit KeyJournal(QString folder);
    // $XDG_DATA_HOME/kx2700/journal, with ~/.local/share when XDG_DATA_HOME is not set.
    static QString defaultFolder();

    const QString& folder() const { return m_folder; }

    // Takes the key's lock (waiting while another program writes to it) and records `entry`.
    std::unique_ptr<Write> begin(const QByteArray& key, const JournalEntry& entry) const;
    // The key's pending entry, when there is one and no program is writing to the key now.
    std::unique_ptr<Pending> pending(const QByteArray& key) const;

private:
    QString entryPath(const QByteArray& key) const;
    QString lockPath(const QByteArray& key) const;
    int lock(const QByteArray& key, bool wait) const;

    QString m_folder;
};

} // namespace kx
