// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QObject>
#include <QSet>
#include <QString>

#include <memory>

class QSocketNotifier;

namespace kx {

// The USB device-notification component: tells its owner that a USB device arrived or was
// removed, with the product identifier read from the device's interface path. It listens to the
// system's USB device events (udev) and to the bus of the virtual keys (a folder whose file names
// are interface paths), both through file descriptors watched by the event loop. A bus folder
// that does not exist yet is waited for by watching its nearest existing parent; once it appears
// it is watched, and keys already on it are announced as arrivals.
class TUSB : public QObject
{
    Q_OBJECT

public:
    // Starts watching. `keysimBusFolder` is the bus folder of the virtual keys; empty means the
    // folder named by the environment ($KX2700_KEYSIM_DIR/bus, or the default keysim folder's
    // bus). A source that cannot be opened simply sends no events.
    explicit TUSB(QObject* parent = nullptr, const QString& keysimBusFolder = QString());
    ~TUSB() override;

    // The product identifier of the device of the last event; 0 when none could be read.
    int ProductID = 0;

    // The product identifier in an interface path: the 4 characters after the first "PID_" of
    // the upper-cased path, read as hexadecimal; 0 when they are not a number.
    static int productIDFromInterfacePath(const QString& interfacePath);

    // The interface path text for a USB device with these identifiers.
    static QString interfacePath(int vendorId, int productId, const QString& serial);

    // The device-change step: reads the product identifier and raises the event.
    void deviceChanged(bool arrival, const QString& interfacePath);

    // Whether the system's USB events and the virtual key bus are being watched, and whether
    // the bus is waited for (a parent of it is watched until it appears).
    bool watchingUdev() const { return m_udevNotifier != nullptr; }
    bool watchingKeysimBus() const { return m_busWatch >= 0; }
    bool waitingForKeysimBus() const { return m_parentWatch >= 0; }
    QString keysimBusFolder() const { return m_busFolder; }

Q_SIGNALS:
    void OnArrival(kx::TUSB* component);
    void OnRemoval(kx::TUSB* component);

private:
    void openUdev();
    void openKeysimBus(const QString& folder);
    void watchKeysimBus(bool announcePresent);
    void readUdev();
    void readKeysimBus();
    void busEntryChanged(bool arrival, const QString& name);

    struct UdevHandles;
    std::unique_ptr<UdevHandles> m_udev;
    QSocketNotifier* m_udevNotifier = nullptr;
    int m_inotifyFd = -1;
    int m_busWatch = -1;
    int m_parentWatch = -1;
    QSocketNotifier* m_inotifyNotifier = nullptr;
    QString m_busFolder;
    // Keys announced when the bus appeared, whose own creation event may still be on its way.
    QSet<QString> m_announced;
};

// The bus folder of the virtual keys named by the environment: $KX2700_KEYSIM_DIR/bus, else
// $XDG_DATA_HOME/kx2700-keysim/bus, else ~/.local/share/kx2700-keysim/bus.
QString defaultKeysimBusFolder();

} // namespace kx
