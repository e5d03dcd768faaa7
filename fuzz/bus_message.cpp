// SPDX-License-Identifier: Apache-2.0
// The device events the presence detection interprets: the PRODUCT and ID_SERIAL_SHORT values
// of a USB event give an interface path whose product identifier is the one PRODUCT named, and
// any file name on the virtual key bus gives a 16-bit product identifier or 0.
#include "FuzzCheck.h"

#include "token/InterfacePath.h"

#include <QFile>
#include <QStringList>

using kx::fuzz::check;

namespace {

// One part of PRODUCT read on its own: 1 to 4 hexadecimal digits, -1 for anything else.
int productPart(const QByteArray& product, qsizetype index)
{
    const QList<QByteArray> parts = product.split('/');
    if (parts.size() < 2 || parts[index].isEmpty() || parts[index].size() > 4) {
        return -1;
    }
    int value = 0;
    for (const char c : parts[index]) {
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) {
            return -1;
        }
        value = value * 16 + digit;
    }
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // udev property values and file names are short; a bus entry name is at most 255 bytes.
    if (size > 4096) {
        return 0;
    }
    // Lines: PRODUCT, ID_SERIAL_SHORT, then the name of a bus entry.
    const QList<QByteArray> lines =
        QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)).split('\n');
    const QByteArray product = lines.value(0);
    const QByteArray serial = lines.value(1);
    const QByteArray entry = lines.value(2).left(255);

    const QString path = kx::udevInterfacePath(product, serial);
    const int vendor = productPart(product, 0);
    const int expected = productPart(product, 1);
    if (path.isEmpty()) {
        check(vendor < 0 || expected < 0, "a PRODUCT with a 16-bit vendor and product gives a path");
    } else {
        check(vendor >= 0 && expected >= 0, "only a PRODUCT with a 16-bit vendor and product gives a path");
        check(kx::productIDFromInterfacePath(path) == expected, "the path gives back the product of PRODUCT");
        check(path == path.toUpper(), "interface paths are upper-case");
    }

    const QString name = QFile::decodeName(entry);
    const int pid = kx::productIDFromInterfacePath(name);
    check(pid >= 0 && pid <= 0xFFFF, "a product identifier has 16 bits");
    if (kx::isBusKeyEntry(name)) {
        check(!name.startsWith(QLatin1Char('.')), "hidden bus files are no keys");
    }
    return 0;
}
