// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArrayView>
#include <QString>

namespace kx {

// The interface path texts by which device arrivals and removals name a USB device, and the
// product identifier read from them. Both event sources end in such a text: the system's USB
// events give the device's properties, the virtual key bus a file name that is the text itself.

// The product identifier in an interface path: the 4 characters after the first "PID_" of the
// upper-cased path, read as hexadecimal; 0 when they are not a number.
int productIDFromInterfacePath(const QString& interfacePath);

// The interface path text for a USB device with these identifiers.
QString usbInterfacePath(int vendorId, int productId, const QString& serial);

// The interface path of a device event from the values of its PRODUCT property ("vendor/product/
// revision" in hexadecimal) and its ID_SERIAL_SHORT property. Empty when PRODUCT does not name a
// vendor and a product of 16 bits each.
QString udevInterfacePath(QByteArrayView product, QByteArrayView serial);

// Whether a file on the virtual key bus names a key: files starting with "." are keys' bus files
// still being written.
bool isBusKeyEntry(const QString& name);

} // namespace kx
