// SPDX-License-Identifier: Apache-2.0
#include "NssDatabase.h"

#include "LibraryFile.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <openssl/x509.h>

#include <algorithm>
#include <memory>

namespace kx {

namespace {

constexpr int kToolTimeoutMs = 30000;
// How often a running tool's owner is asked whether to stop, and how long a tool told to end
// (SIGTERM) may take before it is killed.
constexpr int kStopPollMs = 25;
constexpr int kTerminateGraceMs = 100;
constexpr int kKillWaitMs = 1000;

// The common name of a certificate (its whole subject when it has none), a readable nickname;
// nothing when the bytes are no certificate.
std::optional<QString> subjectName(const QByteArray& der)
{
    const auto* p = reinterpret_cast<const unsigned char*>(der.constData());
    std::unique_ptr<X509, decltype(&X509_free)> cert(d2i_X509(nullptr, &p, der.size()), X509_free);
    if (!cert) {
        return std::nullopt;
    }
    const X509_NAME* subject = X509_get_subject_name(cert.get());
    const int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    unsigned char* utf8 = nullptr;
    int length = -1;
    if (at >= 0) {
        length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at)));
    }
    QString name;
    if (length > 0) {
        name = QString::fromUtf8(reinterpret_cast<const char*>(utf8), length);
    } else {
        char line[256] = {};
        X509_NAME_oneline(subject, line, sizeof line);
        name = QString::fromUtf8(line);
    }
    OPENSSL_free(utf8);
    // certutil separates a token name from a nickname by ":", and a leading "-" would read as an
    // option; keep the nickname plain.
    name = name.replace(QLatin1Char(':'), QLatin1Char(' ')).simplified();
    while (name.startsWith(QLatin1Char('-'))) {
        name.remove(0, 1);
    }
    return name;
}

// Adds trust as an issuer of TLS servers and of e-mail ("C" in the first two of certutil's three
// trust fields), keeping everything else; a field the user marked as not to be trusted ("p")
// stays as it is.
QString withRootTrust(const QString& trust)
{
    QStringList fields = trust.split(QLatin1Char(','));
    while (fields.size() < 3) {
        fields.append(QString());
    }
    for (int i = 0; i < 2; ++i) {
        if (!fields[i].contains(QLatin1Char('C')) && !fields[i].contains(QLatin1Char('p'))) {
            fields[i].append(QLatin1Char('C'));
        }
    }
    return fields.mid(0, 3).join(QLatin1Char(','));
}

} // namespace

NssDatabase::NssDatabase(QString folder, StopCheck stopRequested)
    : m_folder(std::move(folder)), m_stopRequested(std::move(stopRequested))
{}

bool NssDatabase::exists() const
{
    return QFileInfo::exists(m_folder + QStringLiteral("/cert9.db"));
}

bool NssDatabase::toolsAvailable()
{
    return !QStandardPaths::findExecutable(QStringLiteral("certutil")).isEmpty() &&
           !QStandardPaths::findExecutable(QStringLiteral("modutil")).isEmpty();
}

QString NssDatabase::location() const
{
    return QStringLiteral("sql:") + m_folder;
}

NssDatabase::Result NssDatabase::run(const QString& tool, const QStringList& arguments) const
{
    Result result;
    const QString program = QStandardPaths::findExecutable(tool);
    if (program.isEmpty() || stopRequested()) {
        return result;
    }
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    // The tools ask on the terminal when they lack an answer; there is none to give here.
    process.setStandardInputFile(QProcess::nullDevice());
    process.start();
    if (!process.waitForStarted(kToolTimeoutMs)) {
        return result;
    }
    // Without an owner that may stop it, the tool is simply given its time; otherwise the owner is
    // asked between short waits.
    const QDeadlineTimer deadline(kToolTimeoutMs);
    const int slice = m_stopRequested ? kStopPollMs : kToolTimeoutMs;
    bool finished = false;
    while (!finished && process.state() != QProcess::NotRunning && !deadline.hasExpired() && !stopRequested()) {
        finished = process.waitForFinished(static_cast<int>(std::min<qint64>(slice, deadline.remainingTime())));
    }
    if (!finished) {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(kTerminateGraceMs)) {
                process.kill();
                process.waitForFinished(kKillWaitMs);
            }
        }
        return result;
    }
    result.out = process.readAllStandardOutput();
    result.ok = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return result;
}

int NssDatabase::create()
{
    if (exists()) {
        return 0;
    }
    // A database in the older form (cert8.db) is left for NSS to upgrade: creating a new one
    // beside it would hide its contents.
    if (QFileInfo::exists(m_folder + QStringLiteral("/cert8.db"))) {
        return 1;
    }
    if (!QDir().mkpath(m_folder)) {
        return 1;
    }
    QFile::setPermissions(m_folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return run(QStringLiteral("certutil"),
               {QStringLiteral("-N"), QStringLiteral("-d"), location(), QStringLiteral("--empty-password")})
                   .ok
               ? 0
               : 1;
}

QList<NssDatabase::Module> NssDatabase::modules() const
{
    QList<Module> found;
    QFile file(m_folder + QStringLiteral("/pkcs11.txt"));
    if (!file.open(QIODevice::ReadOnly)) {
        return found;
    }
    // Entries are blocks of key=value lines separated by empty lines.
    Module current;
    auto flush = [&] {
        if (!current.library.isEmpty() || !current.name.isEmpty()) {
            found.append(current);
        }
        current = Module{};
    };
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.isEmpty()) {
            flush();
        } else if (line.startsWith(QStringLiteral("library="))) {
            current.library = line.mid(8);
        } else if (line.startsWith(QStringLiteral("name="))) {
            current.name = line.mid(5);
        }
    }
    flush();
    return found;
}

bool NssDatabase::hasModule(const QString& library) const
{
    const QString wanted = CanonicalFile(library);
    for (const Module& module : modules()) {
        if (!module.library.isEmpty() && CanonicalFile(module.library) == wanted) {
            return true;
        }
    }
    return false;
}

int NssDatabase::addModule(const QString& name, const QString& library)
{
    if (!exists()) {
        return 1;
    }
    if (hasModule(library)) {
        return 0;
    }
    QStringList taken;
    for (const Module& module : modules()) {
        taken.append(module.name);
    }
    QString free = name;
    for (int n = 2; taken.contains(free); ++n) {
        free = name + QStringLiteral(" (%1)").arg(n);
    }
    // -force only skips modutil's question whether the browser is closed: the database is an
    // SQL one that NSS shares safely with a running browser.
    run(QStringLiteral("modutil"), {QStringLiteral("-dbdir"), location(), QStringLiteral("-add"), free,
                                    QStringLiteral("-libfile"), library, QStringLiteral("-force")});
    return hasModule(library) ? 0 : 1;
}

QList<NssDatabase::Certificate> NssDatabase::certificates() const
{
    QList<Certificate> found;
    const Result listed = run(QStringLiteral("certutil"), {QStringLiteral("-L"), QStringLiteral("-d"), location(),
                                                           QStringLiteral("-h"), QStringLiteral("internal")});
    if (!listed.ok) {
        return found;
    }
    // Below a two-line heading, each line is the nickname, blanks and the trust, which holds
    // no blank ("CT,C,C", ",,").
    static const QRegularExpression row(QStringLiteral("^(.*\\S)\\s+(\\S*,\\S*,\\S*)\\s*$"));
    for (const QByteArray& raw : listed.out.split('\n')) {
        const QRegularExpressionMatch match = row.match(QString::fromUtf8(raw));
        if (match.hasMatch()) {
            found.append({match.captured(1), match.captured(2)});
        }
    }
    return found;
}

std::optional<NssDatabase::Certificate> NssDatabase::find(const QByteArray& der) const
{
    for (const Certificate& certificate : certificates()) {
        const Result exported =
            run(QStringLiteral("certutil"), {QStringLiteral("-L"), QStringLiteral("-d"), location(),
                                             QStringLiteral("-n"), certificate.nickname, QStringLiteral("-r")});
        // Several certificates may share a nickname; -r gives their DER one after the other.
        if (exported.ok && exported.out.contains(der)) {
            return certificate;
        }
    }
    return std::nullopt;
}

QString NssDatabase::freeNickname(const QString& wanted) const
{
    QStringList taken;
    for (const Certificate& certificate : certificates()) {
        taken.append(certificate.nickname);
    }
    const QString base = wanted.isEmpty() ? QStringLiteral("KX2700 CA") : wanted;
    QString free = base;
    for (int n = 2; taken.contains(free); ++n) {
        free = base + QStringLiteral(" #%1").arg(n);
    }
    return free;
}

int NssDatabase::addAuthority(const QByteArray& der, bool trustedRoot)
{
    const std::optional<QString> name = subjectName(der);
    if (!exists() || !name) {
        return 1;
    }
    if (const std::optional<Certificate> present = find(der)) {
        // A CA stays as it is; a root gets the trust it lacks, unless the user marked it as not
        // to be trusted.
        const QString wanted = withRootTrust(present->trust);
        if (!trustedRoot || wanted == present->trust ||
            present->trust.section(QLatin1Char(','), 0, 0).contains(QLatin1Char('p'))) {
            return 0;
        }
        return run(QStringLiteral("certutil"), {QStringLiteral("-M"), QStringLiteral("-d"), location(),
                                                QStringLiteral("-n"), present->nickname, QStringLiteral("-t"), wanted})
                       .ok
                   ? 0
                   : 1;
    }
    QTemporaryFile file;
    if (!file.open() || file.write(der) != der.size() || !file.flush()) {
        return 1;
    }
    return run(QStringLiteral("certutil"),
               {QStringLiteral("-A"), QStringLiteral("-d"), location(), QStringLiteral("-n"), freeNickname(*name),
                QStringLiteral("-t"), trustedRoot ? QStringLiteral("C,C,") : QStringLiteral(",,"), QStringLiteral("-i"),
                file.fileName()})
                   .ok
               ? 0
               : 1;
}

} // namespace kx
