// SPDX-License-Identifier: Apache-2.0
#include "KeyJournal.h"

#include "platform/FileUtil.h"

#include <QDir>
#include <QFile>
#include <QList>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kx {

namespace {

// An entry is a few short lines; anything longer is not one of ours.
constexpr qsizetype kMaxEntrySize = 4096;

const char* kindName(JournalEntry::Kind kind)
{
    switch (kind) {
    case JournalEntry::Kind::Import:
        return "import";
    case JournalEntry::Kind::DeleteContainer:
        return "delete-container";
    case JournalEntry::Kind::DeleteCertificate:
        return "delete-certificate";
    case JournalEntry::Kind::Generate:
        return "generate";
    }
    return "";
}

void unlockAndClose(int fd)
{
    if (fd >= 0) {
        ::flock(fd, LOCK_UN);
        ::close(fd);
    }
}

} // namespace

QByteArray JournalEntry::text() const
{
    QByteArray out = "KX2700 journal 1\n";
    out += QByteArray("Kind=") + kindName(kind) + '\n';
    // Container names may hold any byte but zero: written in hexadecimal.
    out += "Container=" + container.toHex() + '\n';
    out += "KeySpec=" + QByteArray::number(keySpec) + '\n';
    out += QByteArray("NewContainer=") + (newContainer ? "1" : "0") + '\n';
    out += QByteArray("PairWasEmpty=") + (pairWasEmpty ? "1" : "0") + '\n';
    return out;
}

std::optional<JournalEntry> JournalEntry::parse(const QByteArray& text)
{
    const QList<QByteArray> lines = text.split('\n');
    if (lines.isEmpty() || lines.first() != "KX2700 journal 1") {
        return std::nullopt;
    }
    JournalEntry entry;
    bool kindSeen = false;
    bool containerSeen = false;
    for (const QByteArray& line : lines.mid(1)) {
        const auto equals = line.indexOf('=');
        if (equals <= 0) {
            continue;
        }
        const QByteArray name = line.left(equals);
        const QByteArray value = line.mid(equals + 1);
        if (name == "Kind") {
            for (const auto kind : {Kind::Import, Kind::DeleteContainer, Kind::DeleteCertificate, Kind::Generate}) {
                if (value == kindName(kind)) {
                    entry.kind = kind;
                    kindSeen = true;
                }
            }
        } else if (name == "Container") {
            entry.container = QByteArray::fromHex(value);
            containerSeen = !entry.container.isEmpty() && !entry.container.contains('\0') &&
                            value.size() == entry.container.size() * 2;
        } else if (name == "KeySpec") {
            entry.keySpec = value.toInt();
        } else if (name == "NewContainer") {
            entry.newContainer = value == "1";
        } else if (name == "PairWasEmpty") {
            entry.pairWasEmpty = value == "1";
        }
    }
    const bool pairNeeded = entry.kind != Kind::DeleteContainer;
    if (!kindSeen || !containerSeen || (pairNeeded && entry.keySpec != 1 && entry.keySpec != 2)) {
        return std::nullopt;
    }
    return entry;
}

KeyJournal::Write::~Write()
{
    unlockAndClose(m_lockFd);
}

void KeyJournal::Write::update(const JournalEntry& entry)
{
    const QByteArray text = entry.text();
    m_recorded = platform::writeFileAtomic(QFile::encodeName(m_entryPath).toStdString(),
                                           std::string_view(text.constData(), static_cast<size_t>(text.size())), 0600);
}

void KeyJournal::Write::done()
{
    QFile::remove(m_entryPath);
    m_recorded = false;
}

KeyJournal::Pending::~Pending()
{
    unlockAndClose(m_lockFd);
}

void KeyJournal::Pending::settled()
{
    QFile::remove(m_entryPath);
}

KeyJournal::KeyJournal(QString folder) : m_folder(std::move(folder))
{
}

QString KeyJournal::defaultFolder()
{
    QString data = qEnvironmentVariable("XDG_DATA_HOME");
    if (data.isEmpty()) {
        data = QDir::homePath() + QStringLiteral("/.local/share");
    }
    return data + QStringLiteral("/kx2700/journal");
}

QString KeyJournal::entryPath(const QByteArray& key) const
{
    return m_folder + QLatin1Char('/') + QString::fromLatin1(key.toHex()) + QStringLiteral(".journal");
}

QString KeyJournal::lockPath(const QByteArray& key) const
{
    return m_folder + QLatin1Char('/') + QString::fromLatin1(key.toHex()) + QStringLiteral(".lock");
}

int KeyJournal::lock(const QByteArray& key, bool wait) const
{
    if (!platform::makePath(QFile::encodeName(m_folder).toStdString(), 0700)) {
        return -1;
    }
    const QByteArray path = QFile::encodeName(lockPath(key));
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return -1;
    }
    while (::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)) != 0) {
        if (errno != EINTR) {
            ::close(fd);
            return -1;
        }
    }
    return fd;
}

std::unique_ptr<KeyJournal::Write> KeyJournal::begin(const QByteArray& key, const JournalEntry& entry) const
{
    std::unique_ptr<Write> write(new Write);
    write->m_lockFd = lock(key, true);
    write->m_entryPath = entryPath(key);
    const QByteArray text = entry.text();
    write->m_recorded = platform::writeFileAtomic(QFile::encodeName(write->m_entryPath).toStdString(),
                                                  std::string_view(text.constData(), static_cast<size_t>(text.size())),
                                                  0600);
    return write;
}

std::unique_ptr<KeyJournal::Pending> KeyJournal::pending(const QByteArray& key) const
{
    const QString path = entryPath(key);
    if (!QFile::exists(path)) {
        return nullptr;
    }
    const int fd = lock(key, false);
    if (fd < 0) {
        return nullptr; // a program is writing to the key: its entry is not ours to settle
    }
    std::unique_ptr<Pending> pending(new Pending);
    pending->m_lockFd = fd;
    pending->m_entryPath = path;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return nullptr;
    }
    const QByteArray text = file.read(kMaxEntrySize + 1);
    const std::optional<JournalEntry> entry = JournalEntry::parse(text);
    if (!entry || text.size() > kMaxEntrySize) {
        // Not an entry we can act on: dropped, so it does not come back at every sighting.
        pending->settled();
        return nullptr;
    }
    pending->m_entry = *entry;
    return pending;
}

} // namespace kx
