// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class QProcess;
class QTimer;

namespace kx {

// Finds, without blocking the window thread, which installed Debian package owns a file and
// that package's version (dpkg-query -S, then dpkg-query -W). One question at a time; a new one
// ends the one before. The query's processes are children of this object: they are ended when
// it is destroyed or when they take longer than a few seconds.
class PackageQuery : public QObject
{
    Q_OBJECT

public:
    static constexpr int kTimeoutMs = 5000;

    explicit PackageQuery(QObject* parent = nullptr);
    ~PackageQuery() override;

    // Asks for the package of `file` (also under its real path after symbolic links and, on a
    // merged /usr, under the path the package lists).
    void ask(const QString& file);
    bool running() const;

    // The paths dpkg may list `file` under.
    static QStringList candidatePaths(const QString& file);
    // The package named in an answer of "dpkg-query -S" ("pkg:amd64: /path", "a, b: /path").
    static QString packageOfAnswer(const QString& answer);

signals:
    // The package and its version; both empty when no installed package owns the file or dpkg
    // could not be asked.
    void answered(const QString& package, const QString& version);

private:
    void run(const QStringList& arguments);
    void finishedStep();
    void finish(const QString& package, const QString& version);

    QProcess* m_process = nullptr;
    QTimer* m_timeout = nullptr;
    QString m_package;
};

} // namespace kx
