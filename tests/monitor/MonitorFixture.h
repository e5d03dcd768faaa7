// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "../manager/CertFixture.h"
#include "../manager/ManagerFixture.h"

#include "common/CommandChannel.h"
#include "common/ProcessLauncher.h"
#include "common/UserConfig.h"
#include "keyservice/KeyService.h"
#include "platform/CertStore.h"
#include "token/KeyThreadGuard.h"
#include "token/TokenRecords.h"
#include "token/TokenWrappers.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QMutex>
#include <QTest>
#include <QThread>

#include <functional>
#include <future>

namespace kx::test {

// Records the programs the monitor starts (browser, plug-in, notifications) instead of starting
// them.
class RecordingLauncher final : public ProcessLauncher
{
public:
    RecordingLauncher() { ProcessLauncher::setCurrent(this); }
    ~RecordingLauncher() override { ProcessLauncher::setCurrent(nullptr); }
    bool startDetached(const QString& program, const QStringList& arguments, const QString&) override
    {
        starts.append(QFileInfo(program).fileName() + QLatin1Char(' ') + arguments.join(QLatin1Char(' ')));
        return true;
    }
    // The recorded starts of one program, e.g. "notify-send".
    QStringList of(const QString& program) const
    {
        QStringList found;
        for (const QString& start : starts) {
            if (start.startsWith(program + QLatin1Char(' '))) {
                found.append(start);
            }
        }
        return found;
    }
    QStringList starts;
};

// A stand-in for the manager: listens on the manager's window class on its own thread and
// records every command it receives.
class FakeManager
{
public:
    FakeManager()
    {
        m_endpoint = new CommandEndpoint(QString::fromLatin1(kManagerWindowClass));
        QObject::connect(
            m_endpoint, &CommandEndpoint::commandReceived, m_endpoint,
            [this](const QString& text) {
                QMutexLocker lock(&m_mutex);
                m_received.append(text);
            },
            Qt::DirectConnection);
        m_endpoint->moveToThread(&m_thread);
        QObject::connect(&m_thread, &QThread::finished, m_endpoint, &QObject::deleteLater);
        m_thread.start();
    }
    ~FakeManager()
    {
        m_thread.quit();
        m_thread.wait();
    }
    QStringList received() const
    {
        QMutexLocker lock(&m_mutex);
        return m_received;
    }
    int count(const QString& text) const { return received().count(text); }
    void clear()
    {
        QMutexLocker lock(&m_mutex);
        m_received.clear();
    }

private:
    QThread m_thread;
    CommandEndpoint* m_endpoint = nullptr;
    mutable QMutex m_mutex;
    QStringList m_received;
};

// True once the monitor's keys answered everything asked of them.
template <typename Window>
bool keysSettled(Window& window, int timeoutMs = 30000)
{
    return QTest::qWaitFor([&] { return window.keys().idle(); }, timeoutMs);
}

// Runs the certificate-expiry check of key `keyIndex` and waits for its result (-1 when none came).
template <typename Window>
int expiryCheck(Window& window, int keyIndex)
{
    int result = -1;
    window.CheckCertExpiry(keyIndex, [&](int code) { result = code; });
    static_cast<void>(QTest::qWaitFor([&] { return result != -1; }, 30000));
    return result;
}

// True once a reminder has run its course: no prompt or reminder active, no dialog open, and the
// keys asked nothing more.
template <typename Window>
bool remindersDone(Window& window, int timeoutMs = 30000)
{
    return QTest::qWaitFor(
        [&] {
            return !window.DefaultPINPromptActive() && !window.CycleReminderActive() && !window.pinDialog() &&
                   window.keys().idle();
        },
        timeoutMs);
}

// True once the monitor opened its token library and dealt with the keys present at its start.
template <typename Window>
bool started(Window& window, int timeoutMs = 10000)
{
    return QTest::qWaitFor([&] { return window.LibraryReady() && window.keys().idle(); }, timeoutMs);
}

// Runs `call` on another thread while this thread keeps its event loop going, so a command to a
// window of this process can be delivered and answered.
template <typename T>
T whileProcessingEvents(const std::function<T()>& call)
{
    auto result = std::async(std::launch::async, call);
    while (result.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return result.get();
}

// The monitor's world: the manager's world with the monitor's installation values (a plug-in
// beside the program, a process to end on the last removal), the language files, and helpers
// for the user configuration, the certificate store and certificates on the virtual keys.
class MonitorWorld : public ManagerWorld
{
public:
    static constexpr auto kCloseApp = "kxmon-closeapp";

    // `pkcs11Lib`: the module the monitor loads, the virtual key's unless named.
    explicit MonitorWorld(const QByteArray& pkcs11Lib = KEYSIM_PKCS11_PATH)
    {
        folders.write(QStringLiteral("bin/APPInfo.ini"),
                      "[APPLib]\nPKCS11Lib=" + pkcs11Lib +
                          "\nCSPName=KX CSP\n"
                          "[CSPLanguage]\nCSP_RootKey=HKEY_CURRENT_USER\nCSP_MainKey=Software\\KX2700\\CSP\n"
                          "CSP_LanguageKey=Language\n"
                          "[UserInfo]\nCfgPath=kx\nPlugin=plugin\\kxplugin\nCloseAPP=kxmon-closeapp\n"
                          "[APPFlag]\nPID=$C003|$C004\nAPPMgrName=KX2700Mgr\n");
        QFile::setPermissions(folders.write(QStringLiteral("bin/plugin/kxplugin"), "#!/bin/sh\n"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QDir().mkpath(folders.path(QStringLiteral("bin/Languages")));
        for (const QString& name :
             {QStringLiteral("LanguageInfo.ini"), QStringLiteral("CN_2052.lng"), QStringLiteral("EN_1033.lng")}) {
            QFile::copy(QStringLiteral(KX_LANGUAGES_DIR "/") + name,
                        folders.path(QStringLiteral("bin/Languages/")) + name);
        }
    }

    QString configPath() const { return UserConfigPath(QStringLiteral("kx")); }
    TUserConfigInfo readConfig() const
    {
        TUserConfigInfo config;
        ReadUserConfig(configPath(), config);
        return config;
    }
    void writeConfig(const TUserConfigInfo& config) const
    {
        WriteUserConfig(configPath(), config);
        WritePINCycle(configPath(), config.CycleSetPIN, config.LastDay);
    }

    // The personal store's certificates bound to the monitor's provider, by container name.
    static QStringList storeContainers()
    {
        QStringList containers;
        platform::CertStore store(platform::CertStore::defaultRoot());
        for (const auto& cert : store.list("MY")) {
            if (cert.keyProv && cert.keyProv->provider == "KX CSP") {
                containers.append(QString::fromStdString(cert.keyProv->container));
            }
        }
        containers.sort();
        return containers;
    }

    // Imports the end-entity certificates of PKCS#12 files (password "pfx-pass") into a new
    // container of the plugged key `serial`, each file to its key specification.
    static bool importCertificates(const QString& serial, const QByteArray& container,
                                   const QList<std::pair<int, QString>>& files, const QString& pin = "12345678")
    {
        const KeyThreadGuard::Exemption direct; // another program writes to the key
        if (InitTokenLibrary(QStringLiteral(KEYSIM_PKCS11_PATH), QString(), QString(), QString()) != 0) {
            return false;
        }
        bool ok = false;
        int count = 0;
        FindAndConnectKeys(count);
        for (int i = 0; i < count; ++i) {
            TR7Info info;
            if (token_get_info_ex(i, info) != 0 || info.serialText() != serial) {
                continue;
            }
            int left = 0;
            ok = token_login(i, pin, left) == 0 && container_create_new(i, container) == 0;
            for (const auto& [keySpec, file] : files) {
                int certs = 0;
                ok = ok && pkcs12_file_parse(file, QStringLiteral("pfx-pass"), certs) == 0 &&
                     pkcs12_import_certificate(i, container, keySpec, 0) == 0;
            }
            token_logout(i);
            break;
        }
        uninit_pkcs11();
        return ok;
    }

    // Changes the user PIN of the plugged key `serial` through the token library.
    static bool changePin(const QString& serial, const QString& oldPin, const QString& newPin)
    {
        const KeyThreadGuard::Exemption direct; // another program changes the PIN
        if (InitTokenLibrary(QStringLiteral(KEYSIM_PKCS11_PATH), QString(), QString(), QString()) != 0) {
            return false;
        }
        bool ok = false;
        int count = 0;
        FindAndConnectKeys(count);
        for (int i = 0; i < count; ++i) {
            TR7Info info;
            if (token_get_info_ex(i, info) == 0 && info.serialText() == serial) {
                ok = token_change_upin(i, oldPin, newPin) == 0;
            }
        }
        uninit_pkcs11();
        return ok;
    }
};

} // namespace kx::test
