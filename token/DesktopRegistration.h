// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QThreadPool>

#include "NssDatabase.h"

#include <atomic>

namespace kx {

struct TAPPInfo;
struct TUserConfigInfo;

// Makes a key usable by the desktop's own programs, beside our certificate store: registers the
// key's PKCS#11 module for the user with p11-kit (a module file, read by GnuTLS and p11-kit's
// proxy) and in the user's NSS databases (the shared ~/.pki/nssdb, created when missing, and
// the Firefox and Thunderbird profiles that exist), and adds the root certificates the user
// agreed to trust there as trusted authorities and the key's CA certificates without trust. It is
// the user's switch (UserConfig DesktopRegistration) and the installation's (DesktopRegister)
// that turn it on; off, nothing reaches NSS or p11-kit. Nothing is ever removed: the
// module shows nothing while no key is plugged, and authorities stay as they do in our store.
// The work runs on one background thread in the order it was asked for, so no caller waits on
// NSS's tools; when the program ends, shutdown drops what is queued and ends a tool that runs.
class DesktopRegistration
{
public:
    struct Settings
    {
        bool enabled = false;
        QString module;     // the module's file, absolute
        QString name;       // the module's name in NSS databases
        QString home;       // the user's home folder
        QString configHome; // $XDG_CONFIG_HOME, or ~/.config
    };

    // The settings of an installation: on unless DesktopRegister is 0, the module PKCS11Lib
    // names as the loader finds it (off when it is nowhere), named by CSPName.
    static Settings settingsFor(const TAPPInfo& info);
    // The same, and off when the user switched the desktop registration off (DesktopRegistration=0
    // in the user configuration).
    static Settings settingsFor(const TAPPInfo& info, const TUserConfigInfo& user);

    // The registration the programs share; off until it is configured.
    static DesktopRegistration& instance();

    void configure(const Settings& settings);
    Settings settings() const;

    // Ask for the module's registration or an authority's addition; both return at once.
    void registerModule();
    void addAuthority(const QByteArray& der, bool trustedRoot);
    // Waits until everything asked for so far is done.
    void waitForIdle();
    // Ends the background work for good: what is queued is dropped, an NSS tool that runs is
    // ended (SIGTERM, then SIGKILL) and nothing asked for afterwards starts. Returns within
    // `waitMs`: true when the worker is idle by then, false when it is still ending a tool (which
    // it does within a few tenths of a second).
    bool shutdown(int waitMs);

    // The work itself, done at once. 0 when every place has it afterwards, 1 otherwise; a step
    // that `stopRequested` stops counts as not done.
    static int registerModuleNow(const Settings& settings, const NssDatabase::StopCheck& stopRequested = {});
    static int addAuthorityNow(const Settings& settings, const QByteArray& der, bool trustedRoot,
                               const NssDatabase::StopCheck& stopRequested = {});
    // The NSS databases concerned: the shared one, then the profiles.
    static QStringList databases(const Settings& settings);
    // The p11-kit module file written for the user.
    static QString p11KitModuleFile(const Settings& settings);
    // Where the module is registered now: "p11-kit: <file>" and "NSS: <folder>" entries.
    static QStringList registeredPlaces(const Settings& settings);

    // Queued work is dropped and a running tool ended, never waited for.
    ~DesktopRegistration();

private:
    DesktopRegistration();

    mutable QThreadPool m_pool;
    Settings m_settings;
    std::atomic_bool m_modulePending{false};
    std::atomic_bool m_stopped{false};
};

} // namespace kx
