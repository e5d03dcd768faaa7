// SPDX-License-Identifier: Apache-2.0
#include "InterfacePath.h"

#include <QStringList>

#include <algorithm>

namespace kx {

namespace {

constexpr auto kUsbInterfaceClass = "{A5DCBF10-6530-11D2-901F-00C04FB951ED}";

// A USB identifier: 1 to 4 hexadecimal digits.
int usbIdentifier(const QString& text)
{
    const bool allHex = !text.isEmpty() && text.size() <= 4 && std::all_of(text.begin(), text.end(), [](QChar c) {
        return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
               (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
    });
    return allHex ? text.toInt(nullptr, 16) : -1;
}

} // namespace

int productIDFromInterfacePath(const QString& interfacePath)
{
    const QString path = interfacePath.toUpper();
    const qsizetype at = path.indexOf(QStringLiteral("PID_"));
    // Without "PID_" the characters after position 3 are taken, which do not form a number in
    // any real path.
    const QString digits = path.mid(at < 0 ? 3 : at + 4, 4);
    bool ok = false;
    const int value = digits.toInt(&ok, 16);
    const bool allHex = !digits.isEmpty() && std::all_of(digits.begin(), digits.end(), [](QChar c) {
        return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
    });
    return ok && allHex ? value : 0;
}

QString usbInterfacePath(int vendorId, int productId, const QString& serial)
{
    return QStringLiteral("\\\\?\\USB#VID_%1&PID_%2#%3#%4")
        .arg(vendorId, 4, 16, QLatin1Char('0'))
        .arg(productId, 4, 16, QLatin1Char('0'))
        .arg(serial, QString::fromLatin1(kUsbInterfaceClass))
        .toUpper();
}

QString udevInterfacePath(QByteArrayView product, QByteArrayView serial)
{
    const QStringList parts = QString::fromLatin1(product).split(QLatin1Char('/'));
    if (parts.size() < 2) {
        return QString();
    }
    const int vendorId = usbIdentifier(parts[0]);
    const int productId = usbIdentifier(parts[1]);
    if (vendorId < 0 || productId < 0) {
        return QString();
    }
    return usbInterfacePath(vendorId, productId, QString::fromLatin1(serial));
}

bool isBusKeyEntry(const QString& name)
{
    return !name.isEmpty() && !name.startsWith(QLatin1Char('.'));
}

} // namespace kx
