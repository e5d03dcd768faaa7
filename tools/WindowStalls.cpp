// SPDX-License-Identifier: Apache-2.0
#include "WindowStalls.h"

#include "StallMeter.h"
#include "WindowDriver.h"

#include "manager/CertificatePage.h"
#include "manager/TMainForm.h"

#include <QProcess>
#include <QTreeWidget>

#include <cstdio>

namespace kx {

namespace {

// The longest an action may take under the slowest latency profile.
constexpr int kActionTimeoutMs = 600000;

QString importedContainer()
{
    return QStringLiteral("stall import");
}

int containersShown(TMainForm& window)
{
    return window.findChild<QTreeWidget*>(QStringLiteral("tvCert"))->topLevelItemCount();
}

} // namespace

WindowStalls::WindowStalls(const Setup& setup) : m_setup(setup) {}

int WindowStalls::run(TMainForm& window)
{
    m_window = &window;
    WindowDriver driver(window);
    m_driver = &driver;
    StallMeter meter(5);
    m_meter = &meter;
    const bool listed = WindowDriver::waitUntil([&] { return window.LibraryReady && window.session().KeyCount() > 0; },
                                                kActionTimeoutMs);
    if (!listed || !driver.waitQuiet(kActionTimeoutMs, 600)) {
        std::fprintf(stderr, "no key is plugged in\n");
        return 1;
    }
    std::printf("keys.count=%d\n", window.session().KeyCount());
    const bool done =
        refresh() && login() && tree() && import() && remove() && registration() && plugAtOnce() && largeKey();
    std::fflush(stdout);
    m_meter = nullptr;
    m_driver = nullptr;
    return done ? 0 : 1;
}

void WindowStalls::start()
{
    m_meter->reset();
    m_clock.start();
}

bool WindowStalls::record(const char* action, bool completed)
{
    if (!completed) {
        std::fprintf(stderr, "%s did not complete\n", action);
        return false;
    }
    std::printf("stall.%s=%.1f\ntime.%s=%.1f\n", action, m_meter->longestMs(), action,
                static_cast<double>(m_clock.nsecsElapsed()) / 1e6);
    std::fflush(stdout);
    return true;
}

int WindowStalls::keyOrComplain(const QString& serial) const
{
    const int k = m_driver->keyIndexOf(serial);
    if (k < 0) {
        std::fprintf(stderr, "key %s is not plugged in\n", qPrintable(serial));
    }
    return k;
}

bool WindowStalls::refresh()
{
    start();
    bool listed = false;
    m_window->RefreshKeyList([&](int) { listed = true; });
    return record("refresh", WindowDriver::waitUntil([&] { return listed; }, kActionTimeoutMs) &&
                                 m_driver->waitQuiet(kActionTimeoutMs));
}

bool WindowStalls::login()
{
    const int k = keyOrComplain(m_setup.treeSerial);
    if (k < 0) {
        return false;
    }
    start();
    return record("login", m_driver->login(k, m_setup.pin) && m_driver->waitQuiet(kActionTimeoutMs));
}

bool WindowStalls::tree()
{
    const int k = keyOrComplain(m_setup.treeSerial);
    if (k < 0) {
        return false;
    }
    start();
    m_window->certificatePage().LoadCertTree(k);
    if (!record("tree", m_driver->waitQuiet(kActionTimeoutMs))) {
        return false;
    }
    std::printf("tree.containers=%d\n", containersShown(*m_window));
    start();
    m_window->certificatePage().AcrefreshExecute();
    return record("reload", m_driver->waitQuiet(kActionTimeoutMs));
}

bool WindowStalls::import()
{
    const int k = keyOrComplain(m_setup.importSerial);
    if (k < 0 || !m_driver->login(k, m_setup.pin) || !m_driver->waitQuiet(kActionTimeoutMs)) {
        std::fprintf(stderr, "no login to %s\n", qPrintable(m_setup.importSerial));
        return false;
    }
    start();
    const double ms = m_driver->importThroughDialog(m_setup.pkcs12, m_setup.password, importedContainer());
    return record("import", ms >= 0 && m_driver->waitQuiet(kActionTimeoutMs) &&
                                m_driver->selectContainer(importedContainer().toUtf8()));
}

bool WindowStalls::remove()
{
    // The imported container is the current node; the question is answered Yes.
    start();
    m_window->certificatePage().AcDelExecute();
    const bool gone = WindowDriver::waitUntil([&] { return !m_driver->selectContainer(importedContainer().toUtf8()); },
                                              kActionTimeoutMs);
    return record("delete", gone && m_driver->waitQuiet(kActionTimeoutMs));
}

bool WindowStalls::registration()
{
    const int k = keyOrComplain(m_setup.treeSerial);
    if (k < 0) {
        return false;
    }
    m_driver->selectCertificates(k);
    if (!m_driver->waitQuiet(kActionTimeoutMs)) {
        return false;
    }
    start();
    m_window->certificatePage().AcRegCertExecute();
    return record("register", m_driver->waitQuiet(kActionTimeoutMs));
}

bool WindowStalls::plugAtOnce()
{
    KeySession& session = m_window->session();
    const int before = session.KeyCount();
    const int pulled = static_cast<int>(m_setup.plugSerials.size());
    for (const QString& serial : m_setup.plugSerials) {
        if (QProcess::execute(m_setup.keysimTool, {QStringLiteral("pull"), serial}) != 0) {
            std::fprintf(stderr, "cannot pull %s\n", qPrintable(serial));
            return false;
        }
    }
    if (!WindowDriver::waitUntil([&] { return session.KeyCount() == before - pulled; }, kActionTimeoutMs) ||
        !m_driver->waitQuiet(kActionTimeoutMs, 1000)) {
        std::fprintf(stderr, "the window kept the pulled keys\n");
        return false;
    }
    start();
    // One process plugs them all within a few milliseconds, as a hub brought up does.
    QStringList arguments{QStringLiteral("-c"), QStringLiteral("for s; do \"$0\" plug \"$s\" & done; wait"),
                          m_setup.keysimTool};
    arguments += m_setup.plugSerials;
    if (!QProcess::startDetached(QStringLiteral("/bin/sh"), arguments)) {
        std::fprintf(stderr, "cannot plug the keys\n");
        return false;
    }
    return record("plug", WindowDriver::waitUntil([&] { return session.KeyCount() == before; }, kActionTimeoutMs) &&
                              m_driver->waitQuiet(kActionTimeoutMs, 600));
}

bool WindowStalls::largeKey()
{
    const int k = keyOrComplain(m_setup.largeSerial);
    if (k < 0) {
        return false;
    }
    // The key picked in the key tree and logged in: its objects read and its tree shown.
    start();
    if (!record("large.login", m_driver->login(k, m_setup.pin) && m_driver->waitQuiet(kActionTimeoutMs))) {
        return false;
    }
    std::printf("large.containers=%d\n", containersShown(*m_window));
    // Another key picked, then this one again: its tree read and shown.
    m_driver->selectCertificates(k == 0 ? 1 : 0);
    m_driver->waitQuiet(kActionTimeoutMs);
    start();
    m_driver->selectCertificates(k);
    const bool shown = record("large.tree", m_driver->waitQuiet(kActionTimeoutMs));
    std::printf("large.tree.containers=%d\n", containersShown(*m_window));
    return shown;
}

} // namespace kx
