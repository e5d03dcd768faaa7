// SPDX-License-Identifier: Apache-2.0
#include "RootDecisions.h"

#include "platform/CertStore.h"
#include "platform/FileUtil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QLockFile>
#include <QRegularExpression>

namespace kx {

namespace {

// A file of a few hundred answers is a few tens of kilobytes; a larger one is not ours to read.
constexpr qint64 kMaxFileBytes = 1024 * 1024;
constexpr int kLockWaitMs = 5000;

const QLatin1String kTrusted("trusted");
const QLatin1String kRefused("refused");

struct Entry
{
    QString key; // the fingerprint, 64 hex digits without separators
    RootDecisions::Decision decision = RootDecisions::Decision::Undecided;
    QString subject;
};

// "AB:CD:..." or "abcd..." as the 64 upper-case hex digits the file holds; empty when it is no
// SHA-256 fingerprint.
QString keyOf(const QString& sha256)
{
    QString key = sha256;
    key.remove(QLatin1Char(':'));
    key = key.toUpper();
    static const QRegularExpression hex(QStringLiteral("^[0-9A-F]{64}$"));
    return hex.match(key).hasMatch() ? key : QString();
}

// The entries of the file; lines that are no entry (comments, a damaged line) are passed over. A
// comment right above an entry is its subject.
QList<Entry> readEntries(const QString& file, bool& readable)
{
    QList<Entry> entries;
    QFile in(file);
    readable = true;
    if (!in.exists()) {
        return entries;
    }
    if (!in.open(QIODevice::ReadOnly) || in.size() > kMaxFileBytes) {
        readable = false;
        return entries;
    }
    static const QRegularExpression line(QStringLiteral("^([0-9A-F]{64})=(trusted|refused)$"));
    QString comment;
    for (const QByteArray& raw : in.read(kMaxFileBytes).split('\n')) {
        const QString text = QString::fromUtf8(raw).trimmed();
        if (text.startsWith(QLatin1Char(';'))) {
            comment = text.mid(1).trimmed();
            continue;
        }
        const QRegularExpressionMatch match = line.match(text);
        if (match.hasMatch()) {
            const auto decision =
                match.captured(2) == kTrusted ? RootDecisions::Decision::Trusted : RootDecisions::Decision::Refused;
            entries.append({match.captured(1), decision, comment});
        }
        comment.clear();
    }
    return entries;
}

} // namespace

RootDecisions::RootDecisions(QString file) : m_file(std::move(file)) {}

QString RootDecisions::defaultFile()
{
    return QFileInfo(QString::fromStdString(platform::CertStore::defaultRoot())).absolutePath() +
           QStringLiteral("/roots.ini");
}

RootDecisions::Decision RootDecisions::decision(const QString& sha256) const
{
    const QString key = keyOf(sha256);
    if (key.isEmpty()) {
        return Decision::Undecided;
    }
    bool readable = false;
    Decision found = Decision::Undecided;
    // The last entry of a fingerprint counts, should a hand-edited file hold it twice.
    for (const Entry& entry : readEntries(m_file, readable)) {
        if (entry.key == key) {
            found = entry.decision;
        }
    }
    return found;
}

int RootDecisions::record(const QString& sha256, Decision decision, const QString& subject) const
{
    const QString key = keyOf(sha256);
    if (key.isEmpty() || decision == Decision::Undecided || !QDir().mkpath(QFileInfo(m_file).absolutePath())) {
        return 1;
    }
    // The other program may be recording an answer at the same moment: read, change and write
    // under the lock, so neither answer is lost.
    QLockFile lock(m_file + QStringLiteral(".lock"));
    if (!lock.tryLock(kLockWaitMs)) {
        return 1;
    }
    bool readable = false;
    QList<Entry> entries = readEntries(m_file, readable);
    if (!readable) {
        // Writing over a file we could not read would drop the answers in it.
        return 1;
    }
    entries.removeIf([&](const Entry& entry) { return entry.key == key; });
    entries.append({key, decision, subject.simplified()});
    QByteArray text = "; Root certificates of KX2700 keys and whether the user trusts them in the desktop's "
                      "browsers and mail programs.\n[Roots]\n";
    for (const Entry& entry : entries) {
        if (!entry.subject.isEmpty()) {
            text += "; " + entry.subject.toUtf8() + '\n';
        }
        text += entry.key.toLatin1() + '=' +
                (entry.decision == Decision::Trusted ? QByteArray(kTrusted.data()) : QByteArray(kRefused.data())) +
                '\n';
    }
    return platform::writeFileAtomic(QFile::encodeName(m_file).toStdString(),
                                     std::string_view(text.constData(), static_cast<std::size_t>(text.size())), 0600)
               ? 0
               : 1;
}

} // namespace kx
