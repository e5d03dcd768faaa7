// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace kx {

// One NSS database in SQL form (a folder with cert9.db, key4.db and pkcs11.txt), as Chromium,
// Firefox, Thunderbird and NSS's own tools read it. It is changed only through NSS's certutil and
// modutil, so a program that holds the database open loses nothing; it is only read directly.
// A tool that hangs is ended after a while, or at once when the owner asks to stop.
class NssDatabase
{
public:
    // Asked while one of NSS's tools runs; true ends the tool (SIGTERM, then SIGKILL when it is
    // still there a moment later) and fails the step, and no further tool starts.
    using StopCheck = std::function<bool()>;

    // A PKCS#11 module the database loads.
    struct Module
    {
        QString name;
        QString library;
    };
    // A certificate of the database's own token, with its trust as certutil shows it ("C,,").
    struct Certificate
    {
        QString nickname;
        QString trust;
    };

    explicit NssDatabase(QString folder, StopCheck stopRequested = {});

    QString folder() const { return m_folder; }
    // Whether the folder holds a database (cert9.db).
    bool exists() const;
    // Whether certutil and modutil are on the PATH.
    static bool toolsAvailable();

    // Creates the folder (readable by the user only) and an empty database without a password.
    // 0 on success, also when it exists already; 1 when NSS refused.
    int create();

    // The modules listed in the database's pkcs11.txt.
    QList<Module> modules() const;
    // Whether a module of the database loads `library` (compared after resolving links).
    bool hasModule(const QString& library) const;
    // Adds the module unless the database loads that library already; a name another module
    // holds gets a number appended. 0 when the module is there afterwards, 1 otherwise.
    int addModule(const QString& name, const QString& library);

    // The certificates of the database's own token.
    QList<Certificate> certificates() const;
    // The entry holding exactly these DER bytes, if any.
    std::optional<Certificate> find(const QByteArray& der) const;
    // Adds a certificate authority: trusted as an issuer of TLS servers and e-mail ("C,C,") when
    // `trustedRoot`, otherwise without trust. A certificate already there keeps its nickname and
    // its trust; a root that lacks either trust gets "C" added there, unless the user distrusted
    // it ("p"). 0 when the database has it afterwards, 1 otherwise.
    int addAuthority(const QByteArray& der, bool trustedRoot);

private:
    struct Result
    {
        bool ok = false;
        QByteArray out;
    };
    Result run(const QString& tool, const QStringList& arguments) const;
    QString location() const;
    QString freeNickname(const QString& wanted) const;

    bool stopRequested() const { return m_stopRequested && m_stopRequested(); }

    QString m_folder;
    StopCheck m_stopRequested;
};

} // namespace kx
