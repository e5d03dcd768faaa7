// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QDate>
#include <QString>

namespace kx {

// What a PIN or password reads as in the operation log.
inline constexpr auto kLogSecretMask = "***";

// The operation log file of `day` in the log folder: "QZ_MonLog" + yyyymmdd + ".txt".
QString OperationLogPath(const QDate& day);

// Appends "hh:mm:ss> text" and CR LF to today's operation log when the log folder exists. Never
// creates the folder; a new file is readable by its owner only. Every error is swallowed: the
// line is lost and the caller carries on. Each line is written with one append, so lines of two
// threads or processes never mix.
void LogLine(const QString& text);

} // namespace kx
