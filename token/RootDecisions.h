// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

namespace kx {

// The user's answers to "trust this root certificate of a key?", one per SHA-256 fingerprint, in
// one small file of the user's data folder ($XDG_DATA_HOME/kx2700/roots.ini) that the monitor and
// the manager share. Nothing is cached: every question reads the file as it is on disk, so an
// answer given in one program holds in the other at once. A change is written under a lock file
// to a temporary file that replaces the old one, so a reader sees the old or the new file whole.
class RootDecisions
{
public:
    enum class Decision
    {
        Undecided,
        Trusted,
        Refused
    };

    // The decisions at `file`.
    explicit RootDecisions(QString file = defaultFile());

    // $XDG_DATA_HOME/kx2700/roots.ini (~/.local/share when the variable is unset), beside our
    // certificate store.
    static QString defaultFile();

    QString file() const { return m_file; }

    // The answer given for the certificate with this SHA-256 fingerprint (as CertificateSummary
    // writes it); Undecided when there is none or the file cannot be read.
    Decision decision(const QString& sha256) const;
    // Stores the answer for the fingerprint, replacing an earlier one; `subject` is kept beside it
    // for a person reading the file. 0 on success, 1 when the file could not be written.
    int record(const QString& sha256, Decision decision, const QString& subject) const;

private:
    QString m_file;
};

} // namespace kx
