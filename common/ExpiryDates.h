// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QDateTime>
#include <QString>

namespace kx {

// Reads "yyyy/mm/dd hh:nn:ss" as a local date and time; anything else gives an invalid value. A
// time the local clocks skip that day (midnight in a zone that moves its clocks forward at
// midnight) gives the first minute after the skip, so every existing day has a start.
QDateTime ParseDateTime(const QString& text);

// Whether midnight at the start of the given day lies at most `days` days (with fraction) ahead
// of now, or is already past. A day that does not exist (a corrupt certificate date) gives false.
bool WithinDays(int year, int month, int day, int days);

// 3 when midnight at the start of the given day is already past, 1 when it lies at most `days`
// days ahead, 2 when it lies further ahead. A day that does not exist gives 2, so nothing is
// announced for a date that cannot be read.
int ExpiryState(int year, int month, int day, int days);

} // namespace kx
