// SPDX-License-Identifier: Apache-2.0
#include "DesktopRegistration.h"

#include "LibraryFile.h"
#include "MozillaProfiles.h"

#include "common/AppContext.h"
#include "common/AppInfo.h"
#include "common/UserConfig.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QSaveFile>

#include <algorithm>

namespace kx {

namespace {

QMutex settingsLock;

// How long queued work may still take when the application ends, and how long ending a tool that
// runs then may take.
constexpr int kFinishAtExitMs = 10000;
constexpr int kEndToolMs = 1000;

// System folders p11-kit reads module files from, and where it looks for a module named
// without a path.
const char* const kSystemModuleFolders[] = {"/etc/pkcs11/modules", "/usr/share/p11-kit/modules"};
const char* const kSystemModulePaths[] = {"/usr/lib/x86_64-linux-gnu/pkcs11", "/usr/lib/aarch64-linux-gnu/pkcs11",
                                          "/usr/lib/pkcs11", "/usr/lib64/pkcs11"};

// The module a p11-kit module file loads, as an absolute path when it can be told.
QString moduleOfFile(const QString& file)
{
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly)) {
        return QString();
    }
    while (!in.atEnd()) {
        const QString line = QString::fromUtf8(in.readLine()).trimmed();
        if (!line.startsWith(QStringLiteral("module:"))) {
            continue;
        }
        const QString value = line.mid(7).trimmed();
        if (QDir::isAbsolutePath(value)) {
            return CanonicalFile(value);
        }
        for (const char* folder : kSystemModulePaths) {
            const QString candidate = QLatin1String(folder) + QLatin1Char('/') + value;
            if (QFileInfo::exists(candidate)) {
                return CanonicalFile(candidate);
            }
        }
        return value;
    }
    return QString();
}

// Every module file p11-kit reads for the user that loads `module`.
QStringList p11KitFilesLoading(const DesktopRegistration::Settings& settings)
{
    QStringList folders = {settings.configHome + QStringLiteral("/pkcs11/modules")};
    for (const char* folder : kSystemModuleFolders) {
        folders.append(QLatin1String(folder));
    }
    const QString wanted = CanonicalFile(settings.module);
    QStringList files;
    for (const QString& folder : folders) {
        for (const QFileInfo& file : QDir(folder).entryInfoList({QStringLiteral("*.module")}, QDir::Files)) {
            if (moduleOfFile(file.filePath()) == wanted) {
                files.append(file.filePath());
            }
        }
    }
    return files;
}

int registerWithP11Kit(const DesktopRegistration::Settings& settings)
{
    const QString ours = DesktopRegistration::p11KitModuleFile(settings);
    if (!p11KitFilesLoading(settings).isEmpty()) {
        return 0;
    }
    // Our own file names another module (the installation moved): it is ours to rewrite.
    QDir().mkpath(QFileInfo(ours).absolutePath());
    QSaveFile out(ours);
    const QByteArray text = "# The KX2700 key's PKCS#11 module, registered by the KX2700 key tools.\nmodule: " +
                            QFile::encodeName(settings.module) + '\n';
    if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.commit()) {
        return 1;
    }
    return 0;
}

} // namespace

DesktopRegistration::Settings DesktopRegistration::settingsFor(const TAPPInfo& info)
{
    Settings settings;
    settings.module = LibraryFile(info.PKCS11Lib);
    settings.enabled = info.DesktopRegister != 0 && !settings.module.isEmpty();
    if (!settings.module.isEmpty()) {
        settings.module = QFileInfo(settings.module).absoluteFilePath();
    }
    settings.name = info.CSPName.trimmed().isEmpty() ? QStringLiteral("KX2700") : info.CSPName.trimmed();
    // The same folders p11-kit and NSS take: $XDG_CONFIG_HOME (or ~/.config) and the home folder.
    settings.home = AppContext::current().homeFolder();
    settings.configHome = AppContext::current().appDataFolder();
    return settings;
}

DesktopRegistration::Settings DesktopRegistration::settingsFor(const TAPPInfo& info, const TUserConfigInfo& user)
{
    Settings settings = settingsFor(info);
    settings.enabled = settings.enabled && user.DesktopRegistration != 0;
    return settings;
}

DesktopRegistration& DesktopRegistration::instance()
{
    static DesktopRegistration registration;
    return registration;
}

DesktopRegistration::DesktopRegistration()
{
    m_pool.setMaxThreadCount(1);
    m_pool.setExpiryTimeout(-1);
    // Work asked for before the program ends is finished while the application still exists, if
    // NSS's tools answer in a reasonable time; a program that must end at once shuts down first.
    qAddPostRoutine([] {
        DesktopRegistration& registration = instance();
        if (!registration.m_pool.waitForDone(kFinishAtExitMs)) {
            registration.shutdown(kEndToolMs);
        }
    });
}

DesktopRegistration::~DesktopRegistration()
{
    // The pool, destroyed after this, waits only for a tool being ended.
    shutdown(0);
}

void DesktopRegistration::configure(const Settings& settings)
{
    const QMutexLocker lock(&settingsLock);
    m_settings = settings;
}

DesktopRegistration::Settings DesktopRegistration::settings() const
{
    const QMutexLocker lock(&settingsLock);
    return m_settings;
}

void DesktopRegistration::registerModule()
{
    const Settings now = settings();
    // One pending registration serves every request made before it runs.
    if (!now.enabled || m_stopped || m_modulePending.exchange(true)) {
        return;
    }
    m_pool.start([this, now] {
        m_modulePending = false;
        if (!m_stopped) {
            registerModuleNow(now, [this] { return m_stopped.load(); });
        }
    });
}

void DesktopRegistration::addAuthority(const QByteArray& der, bool trustedRoot)
{
    const Settings now = settings();
    if (!now.enabled || der.isEmpty() || m_stopped) {
        return;
    }
    // Each database is asked whether it holds the certificate, so one created since (a new
    // browser profile) gets it too; a database that has it is left as it is.
    m_pool.start([this, now, der, trustedRoot] {
        if (!m_stopped) {
            addAuthorityNow(now, der, trustedRoot, [this] { return m_stopped.load(); });
        }
    });
}

void DesktopRegistration::waitForIdle()
{
    m_pool.waitForDone();
}

bool DesktopRegistration::shutdown(int waitMs)
{
    m_stopped = true;
    m_pool.clear();
    // A running step sees the stop within a few milliseconds and ends its tool.
    return m_pool.waitForDone(std::max(waitMs, 0));
}

QString DesktopRegistration::p11KitModuleFile(const Settings& settings)
{
    return settings.configHome + QStringLiteral("/pkcs11/modules/kx2700.module");
}

QStringList DesktopRegistration::databases(const Settings& settings)
{
    return QStringList{settings.home + QStringLiteral("/.pki/nssdb")} + MozillaProfiles(settings.home);
}

int DesktopRegistration::registerModuleNow(const Settings& settings, const NssDatabase::StopCheck& stopRequested)
{
    if (!settings.enabled) {
        return 1;
    }
    int result = registerWithP11Kit(settings);
    if (!NssDatabase::toolsAvailable()) {
        return 1;
    }
    const QStringList folders = databases(settings);
    for (int i = 0; i < folders.size(); ++i) {
        NssDatabase database(folders[i], stopRequested);
        // Only the shared database is created; a profile is the browser's to create.
        if ((i == 0 && database.create() != 0) || database.addModule(settings.name, settings.module) != 0) {
            result = 1;
        }
    }
    return result;
}

int DesktopRegistration::addAuthorityNow(const Settings& settings, const QByteArray& der, bool trustedRoot,
                                         const NssDatabase::StopCheck& stopRequested)
{
    if (!settings.enabled || !NssDatabase::toolsAvailable()) {
        return 1;
    }
    int result = 0;
    const QStringList folders = databases(settings);
    for (int i = 0; i < folders.size(); ++i) {
        NssDatabase database(folders[i], stopRequested);
        if ((i == 0 && database.create() != 0) || database.addAuthority(der, trustedRoot) != 0) {
            result = 1;
        }
    }
    return result;
}

QStringList DesktopRegistration::registeredPlaces(const Settings& settings)
{
    QStringList places;
    if (settings.module.isEmpty()) {
        return places;
    }
    for (const QString& file : p11KitFilesLoading(settings)) {
        places.append(QStringLiteral("p11-kit: ") + file);
    }
    for (const QString& folder : databases(settings)) {
        if (NssDatabase(folder).hasModule(settings.module)) {
            places.append(QStringLiteral("NSS: ") + folder);
        }
    }
    return places;
}

} // namespace kx
