// SPDX-License-Identifier: Apache-2.0
#include "ExpiryDates.h"

#include "AppContext.h"

#include <optional>

namespace kx {

namespace {

// T minus now in days with fraction, counted on the local calendar and clock.
std::optional<double> daysUntil(int year, int month, int day)
{
    const QDateTime target = ParseDateTime(QString::asprintf("%.4d/%.2d/%.2d 00:00:00", year, month, day));
    if (!target.isValid()) {
        return std::nullopt;
    }
    const QDateTime now = AppContext::current().now();
    const double wholeDays = static_cast<double>(now.date().daysTo(target.date()));
    const double fraction = static_cast<double>(now.time().msecsTo(target.time())) / 86400000.0;
    return wholeDays + fraction;
}

} // namespace

QDateTime ParseDateTime(const QString& text)
{
    const QDateTime value = QDateTime::fromString(text, QStringLiteral("yyyy/MM/dd HH:mm:ss"));
    if (value.isValid()) {
        return value;
    }
    // A local time the clocks skip (in a zone that moves its clocks forward at midnight, midnight
    // itself that day) is read as the first minute after the skip.
    const QStringList parts = text.split(QLatin1Char(' '));
    if (parts.size() != 2) {
        return QDateTime();
    }
    const QDate date = QDate::fromString(parts[0], QStringLiteral("yyyy/MM/dd"));
    const QTime time = QTime::fromString(parts[1], QStringLiteral("HH:mm:ss"));
    if (!date.isValid() || !time.isValid()) {
        return QDateTime();
    }
    for (QTime later = time.addSecs(60); later > time; later = later.addSecs(60)) {
        const QDateTime moment(date, later);
        if (moment.isValid()) {
            return moment;
        }
    }
    return QDateTime();
}

bool WithinDays(int year, int month, int day, int days)
{
    const auto d = daysUntil(year, month, day);
    return d && *d <= days;
}

int ExpiryState(int year, int month, int day, int days)
{
    const auto d = daysUntil(year, month, day);
    if (!d) {
        return 2;
    }
    if (*d < 0) {
        return 3;
    }
    return *d <= days ? 1 : 2;
}

} // namespace kx
