// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

class QTreeWidgetItem;

namespace kx {

class TMainForm;

// Drives the manager's main window as a user does, for the benchmarks: picks keys and
// containers in its trees, types the PIN and fills in the import dialog, and waits for the key
// service's answers by running the event loop (never by sleeping on it).
class WindowDriver
{
public:
    explicit WindowDriver(TMainForm& window);

    // Runs the event loop until `condition` holds, then `settleMs` more, after which it must still
    // hold (queued results reach the window meanwhile); false when `timeoutMs` passed first.
    static bool waitUntil(const std::function<bool()>& condition, int timeoutMs, int settleMs = 0);
    // Until no key job runs or waits, and none followed in the next `settleMs`.
    bool waitQuiet(int timeoutMs, int settleMs = 100);

    int keyIndexOf(const QString& serial) const;
    QTreeWidgetItem* keyNode(int keyIndex) const;
    // Clicks the key's certificate task: its login page, or its tree when it is logged in.
    void selectCertificates(int keyIndex);
    // Selects the key's login page, types the PIN and logs in; true when the key is logged in
    // and its tree was read and shown.
    bool login(int keyIndex, const QString& pin);
    // When the last login was seen complete (CLOCK_MONOTONIC, ns), before the settling wait.
    qint64 loggedInAtNs() const { return m_loggedInAtNs; }
    // Imports a PKCS#12 file (key and certificate) into a new container through the import
    // dialog, filled in as soon as it shows; the milliseconds from the click on OK until the
    // tree shows the new container, or -1 when the dialog did not open.
    double importThroughDialog(const QString& file, const QString& password, const QString& container);
    // Makes the container's node the current one of the certificate tree; false when absent.
    bool selectContainer(const QByteArray& name);

private:
    TMainForm& m_window;
    qint64 m_loggedInAtNs = 0;
};

} // namespace kx
