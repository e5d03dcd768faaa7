// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>

#include <functional>

namespace kx {

// Where the programs find their folders and what time it is. One object serves the whole program;
// tests install their own with temporary folders and a fixed clock.
class AppContext
{
public:
    // Folders and clock taken from the running process and its environment.
    AppContext();

    // The folder of the running executable, without a trailing "/".
    QString executableFolder() const { return m_executableFolder; }
    // The user's application-data folder: $XDG_CONFIG_HOME, or ~/.config.
    QString appDataFolder() const { return m_appDataFolder; }
    // The user's home folder, below which the desktop's programs keep their NSS databases.
    QString homeFolder() const { return m_homeFolder; }
    // The operation log folder: ~/KeyLog (tracing happens only while it exists).
    QString logFolder() const { return m_logFolder; }
    // The folder of the per-root registry files.
    QString registryFolder() const { return m_registryFolder; }
    QDateTime now() const;
    QDate today() const { return now().date(); }

    void setExecutableFolder(const QString& folder) { m_executableFolder = folder; }
    void setAppDataFolder(const QString& folder) { m_appDataFolder = folder; }
    void setHomeFolder(const QString& folder) { m_homeFolder = folder; }
    void setLogFolder(const QString& folder) { m_logFolder = folder; }
    void setRegistryFolder(const QString& folder) { m_registryFolder = folder; }
    // Replaces the clock; an empty function restores the system clock.
    void setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }

    // The context in use. Until one is installed, a context built from the environment.
    static AppContext& current();
    // Installs a context (not owned); nullptr goes back to the one built from the environment.
    static void setCurrent(AppContext* context);

private:
    QString m_executableFolder;
    QString m_appDataFolder;
    QString m_homeFolder;
    QString m_logFolder;
    QString m_registryFolder;
    std::function<QDateTime()> m_clock;
};

// A path below the executable's folder: folder + "/" + relative, with "\" taken as "/".
QString pathBesideExecutable(const QString& relative);

// Turns "\" into "/", as values copied from Windows installations use it.
QString toSlashes(QString path);

} // namespace kx
