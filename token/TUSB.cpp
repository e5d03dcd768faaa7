// SPDX-License-Identifier: Apache-2.0
#include "TUSB.h"

#include "InterfacePath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <algorithm>
#include <array>
#include <cerrno>
#include <libudev.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace kx {

namespace {

struct UdevDeleter
{
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_monitor* m) const { udev_monitor_unref(m); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};

} // namespace

struct TUSB::UdevHandles
{
    std::unique_ptr<udev, UdevDeleter> context;
    std::unique_ptr<udev_monitor, UdevDeleter> monitor;
};

QString defaultKeysimBusFolder()
{
    QString root = qEnvironmentVariable("KX2700_KEYSIM_DIR");
    if (root.isEmpty()) {
        QString data = qEnvironmentVariable("XDG_DATA_HOME");
        if (data.isEmpty() || !QDir::isAbsolutePath(data)) {
            data = QDir::homePath() + QStringLiteral("/.local/share");
        }
        root = data + QStringLiteral("/kx2700-keysim");
    }
    return root + QStringLiteral("/bus");
}

TUSB::TUSB(QObject* parent, const QString& keysimBusFolder) : QObject(parent)
{
    openUdev();
    openKeysimBus(keysimBusFolder.isEmpty() ? defaultKeysimBusFolder() : keysimBusFolder);
}

TUSB::~TUSB()
{
    if (m_inotifyFd >= 0) {
        ::close(m_inotifyFd);
    }
}

int TUSB::productIDFromInterfacePath(const QString& interfacePath)
{
    return kx::productIDFromInterfacePath(interfacePath);
}

QString TUSB::interfacePath(int vendorId, int productId, const QString& serial)
{
    return usbInterfacePath(vendorId, productId, serial);
}

void TUSB::deviceChanged(bool arrival, const QString& interfacePath)
{
    ProductID = productIDFromInterfacePath(interfacePath);
    if (arrival) {
        Q_EMIT OnArrival(this);
    } else {
        Q_EMIT OnRemoval(this);
    }
}

void TUSB::openUdev()
{
    auto handles = std::make_unique<UdevHandles>();
    handles->context.reset(udev_new());
    if (!handles->context) {
        return;
    }
    handles->monitor.reset(udev_monitor_new_from_netlink(handles->context.get(), "udev"));
    if (!handles->monitor ||
        udev_monitor_filter_add_match_subsystem_devtype(handles->monitor.get(), "usb", "usb_device") < 0 ||
        udev_monitor_enable_receiving(handles->monitor.get()) < 0) {
        return;
    }
    const int fd = udev_monitor_get_fd(handles->monitor.get());
    if (fd < 0) {
        return;
    }
    m_udev = std::move(handles);
    m_udevNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_udevNotifier, &QSocketNotifier::activated, this, &TUSB::readUdev);
}

void TUSB::readUdev()
{
    const std::unique_ptr<udev_device, UdevDeleter> device(udev_monitor_receive_device(m_udev->monitor.get()));
    if (!device) {
        return;
    }
    const QString action = QString::fromLatin1(udev_device_get_action(device.get()));
    const bool arrival = action == QStringLiteral("add");
    if (!arrival && action != QStringLiteral("remove")) {
        return;
    }
    // PRODUCT is present on removals too.
    const QString path = udevInterfacePath(udev_device_get_property_value(device.get(), "PRODUCT"),
                                           udev_device_get_property_value(device.get(), "ID_SERIAL_SHORT"));
    if (!path.isEmpty()) {
        deviceChanged(arrival, path);
    }
}

void TUSB::openKeysimBus(const QString& folder)
{
    m_busFolder = folder;
    if (!qEnvironmentVariableIsEmpty("KX2700_KEYSIM_DIR")) {
        QDir().mkpath(folder); // a configured virtual key store gets its bus even before any key
    }
    m_inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_inotifyFd < 0) {
        return;
    }
    // Keys on the bus at start are found by the owner's first enumeration, not announced.
    watchKeysimBus(false);
    if (m_busWatch < 0 && m_parentWatch < 0) {
        ::close(m_inotifyFd);
        m_inotifyFd = -1;
        return;
    }
    m_inotifyNotifier = new QSocketNotifier(m_inotifyFd, QSocketNotifier::Read, this);
    connect(m_inotifyNotifier, &QSocketNotifier::activated, this, &TUSB::readKeysimBus);
}

// Watches the bus folder, or else its nearest existing parent until the bus appears.
void TUSB::watchKeysimBus(bool announcePresent)
{
    const QString bus = QDir::cleanPath(QDir(m_busFolder).absolutePath());
    // Each round either watches the bus or a parent whose next folder on the way is still
    // missing; a folder made meanwhile sends the search one level down.
    for (qsizetype round = 0; round <= bus.count(QLatin1Char('/')); ++round) {
        const int busWatch = ::inotify_add_watch(m_inotifyFd, QFile::encodeName(bus).constData(),
                                                 IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_ONLYDIR);
        if (busWatch >= 0) {
            if (m_parentWatch >= 0) {
                ::inotify_rm_watch(m_inotifyFd, m_parentWatch);
                m_parentWatch = -1;
            }
            m_busWatch = busWatch;
            if (announcePresent) {
                for (const QString& name : QDir(bus).entryList(QDir::Files | QDir::System, QDir::Name)) {
                    if (!name.startsWith(QLatin1Char('.'))) {
                        m_announced.insert(name);
                        deviceChanged(true, name);
                    }
                }
            }
            return;
        }
        QString parent = QFileInfo(bus).path();
        while (!QFileInfo(parent).isDir() && parent != QFileInfo(parent).path()) {
            parent = QFileInfo(parent).path();
        }
        const int parentWatch = ::inotify_add_watch(m_inotifyFd, QFile::encodeName(parent).constData(),
                                                    IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
        if (m_parentWatch >= 0 && m_parentWatch != parentWatch) {
            ::inotify_rm_watch(m_inotifyFd, m_parentWatch);
        }
        m_parentWatch = parentWatch;
        if (parentWatch < 0) {
            return; // nothing on the way can be watched: no virtual key events
        }
        const QString next = bus.mid(parent.size()).section(QLatin1Char('/'), 0, 0, QString::SectionSkipEmpty);
        if (!QFileInfo(QDir(parent).filePath(next)).isDir()) {
            return;
        }
    }
}

void TUSB::readKeysimBus()
{
    alignas(inotify_event) std::array<char, 16384> buffer{};
    for (;;) {
        const ssize_t length = ::read(m_inotifyFd, buffer.data(), buffer.size());
        if (length <= 0) {
            return; // EAGAIN: everything read
        }
        std::size_t offset = 0;
        while (offset + sizeof(inotify_event) <= static_cast<std::size_t>(length)) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + offset);
            const std::size_t size = sizeof(inotify_event) + event->len;
            if (offset + size > static_cast<std::size_t>(length)) {
                break;
            }
            offset += size;
            if (event->wd == m_parentWatch) {
                if (event->mask & IN_IGNORED) {
                    m_parentWatch = -1; // that parent itself went away
                }
                watchKeysimBus(true);
                continue;
            }
            if (event->wd != m_busWatch) {
                continue; // a watch given up earlier
            }
            if (event->mask & IN_IGNORED) {
                // The bus folder itself went away: wait for it again.
                m_busWatch = -1;
                m_announced.clear();
                watchKeysimBus(true);
                continue;
            }
            if (event->len == 0 || (event->mask & IN_ISDIR)) {
                continue;
            }
            const bool arrival = (event->mask & (IN_CREATE | IN_MOVED_TO)) != 0;
            const bool removal = (event->mask & (IN_DELETE | IN_MOVED_FROM)) != 0;
            if (arrival || removal) {
                busEntryChanged(arrival, QFile::decodeName(QByteArray(event->name)));
            }
        }
    }
}

void TUSB::busEntryChanged(bool arrival, const QString& name)
{
    if (!isBusKeyEntry(name)) {
        return;
    }
    // A key announced when the bus appeared may also send its own creation event.
    if (m_announced.remove(name) && arrival) {
        return;
    }
    deviceChanged(arrival, name);
}

} // namespace kx
