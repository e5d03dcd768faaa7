// SPDX-License-Identifier: Apache-2.0
#include "TokenRecords.h"

#include <algorithm>

namespace kx {

namespace {

template <std::size_t N>
QByteArray terminated(const std::array<char, N>& field)
{
    const auto end = std::find(field.begin(), field.end(), '\0');
    return QByteArray(field.data(), static_cast<qsizetype>(end - field.begin()));
}

} // namespace

QString TR7Info::serialText() const
{
    return QString::fromLocal8Bit(terminated(serial));
}

QString TR7Info::labelText() const
{
    return QString::fromUtf8(terminated(label));
}

QString TR7Info::manufacturerText() const
{
    return QString::fromLocal8Bit(terminated(manufacturer));
}

QString TR7Info::modelText() const
{
    return QString::fromLocal8Bit(terminated(model));
}

QByteArray TR7CertInfo::der() const
{
    const int length = std::clamp(certLen, 0, kCertCapacity);
    return QByteArray(reinterpret_cast<const char*>(certData.data()), length);
}

} // namespace kx
