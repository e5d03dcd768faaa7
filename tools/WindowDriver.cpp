// SPDX-License-Identifier: Apache-2.0
#include "WindowDriver.h"

#include "manager/CertTree.h"
#include "manager/CertificatePage.h"
#include "manager/LoginPage.h"
#include "manager/TIMForm.h"
#include "manager/TMainForm.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QRadioButton>
#include <QTimer>
#include <QTreeWidget>

#include <ctime>

namespace kx {

namespace {

// A secret field gets a copy of its own: the window overwrites the field's buffer once it is
// used, and a buffer shared with the caller would leave the next round an empty PIN or password.
QString ownCopy(const QString& secret)
{
    return QString(secret.constData(), secret.size());
}

// Runs the event loop for `ms`, or until `until` holds when it is given.
void runLoop(int ms, const std::function<bool()>& until = {})
{
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(1);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (until && until()) {
            loop.quit();
        }
    });
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    if (until) {
        poll.start();
    }
    loop.exec();
}

} // namespace

WindowDriver::WindowDriver(TMainForm& window) : m_window(window) {}

bool WindowDriver::waitUntil(const std::function<bool()>& condition, int timeoutMs, int settleMs)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        if (!condition()) {
            runLoop(static_cast<int>(timeoutMs - clock.elapsed()), condition);
            continue;
        }
        if (settleMs <= 0) {
            return true;
        }
        runLoop(settleMs);
        if (condition()) {
            return true;
        }
    }
    return condition();
}

bool WindowDriver::waitQuiet(int timeoutMs, int settleMs)
{
    KeySession& session = m_window.session();
    const auto* certificates = m_window.findChild<QTreeWidget*>(QStringLiteral("tvCert"));
    return waitUntil(
        [&] { return session.service().idle() && !session.refreshing() && !CertTreeFilling(certificates); }, timeoutMs,
        settleMs);
}

int WindowDriver::keyIndexOf(const QString& serial) const
{
    for (int i = 0; i < m_window.session().KeyCount(); ++i) {
        if (m_window.session().keyInfo(i).serialText().trimmed() == serial) {
            return i;
        }
    }
    return -1;
}

QTreeWidgetItem* WindowDriver::keyNode(int keyIndex) const
{
    auto* tv = m_window.findChild<QTreeWidget*>(QStringLiteral("tv"));
    return tv->topLevelItem(0)->child(keyIndex);
}

void WindowDriver::selectCertificates(int keyIndex)
{
    auto* tv = m_window.findChild<QTreeWidget*>(QStringLiteral("tv"));
    tv->setCurrentItem(keyNode(keyIndex)->child(2));
}

bool WindowDriver::login(int keyIndex, const QString& pin)
{
    selectCertificates(keyIndex);
    m_window.findChild<QLineEdit*>(QStringLiteral("edtUPIN"))->setText(ownCopy(pin));
    m_window.loginPage().AcLoginExecute();
    KeySession& session = m_window.session();
    const auto* certificates = m_window.findChild<QTreeWidget*>(QStringLiteral("tvCert"));
    m_loggedInAtNs = 0;
    return waitUntil(
        [&] {
            const bool done = session.LoginState(keyIndex) == KeySession::kLoggedIn && session.service().idle() &&
                              !CertTreeFilling(certificates);
            if (!done) {
                m_loggedInAtNs = 0;
            } else if (m_loggedInAtNs == 0) {
                timespec now{};
                clock_gettime(CLOCK_MONOTONIC, &now);
                m_loggedInAtNs = static_cast<qint64>(now.tv_sec) * 1000000000 + now.tv_nsec;
            }
            return done;
        },
        600000, 100);
}

double WindowDriver::importThroughDialog(const QString& file, const QString& password, const QString& container)
{
    QElapsedTimer sinceOk;
    // The dialog opens once the key said it has room; it is filled in as soon as it shows.
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<TIMForm*>(QApplication::activeModalWidget());
        if (!dialog || sinceOk.isValid()) {
            return;
        }
        dialog->chooseFile(file);
        dialog->findChild<QLineEdit*>(QStringLiteral("edtpwd"))->setText(ownCopy(password));
        dialog->findChild<QRadioButton*>(QStringLiteral("rb1"))->setChecked(true);
        dialog->findChild<QLineEdit*>(QStringLiteral("edtContname"))->setText(container);
        dialog->findChild<QRadioButton*>(QStringLiteral("rb3"))->setChecked(true);
        sinceOk.start();
        dialog->btnOKClick();
    });
    poll.start();
    m_window.certificatePage().AcInputCertExecute();
    KeySession& session = m_window.session();
    waitUntil(
        [&] {
            return sinceOk.isValid() && !QApplication::activeModalWidget() && !session.importRunning() &&
                   session.service().idle() &&
                   !CertTreeFilling(m_window.findChild<QTreeWidget*>(QStringLiteral("tvCert")));
        },
        600000);
    return sinceOk.isValid() ? static_cast<double>(sinceOk.nsecsElapsed()) / 1e6 : -1;
}

bool WindowDriver::selectContainer(const QByteArray& name)
{
    auto* tvCert = m_window.findChild<QTreeWidget*>(QStringLiteral("tvCert"));
    for (int i = 0; i < tvCert->topLevelItemCount(); ++i) {
        QTreeWidgetItem* node = tvCert->topLevelItem(i);
        if (ContainerOfNode(node) == name) {
            tvCert->setCurrentItem(node);
            return true;
        }
    }
    return false;
}

} // namespace kx
