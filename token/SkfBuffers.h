// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "GMAPIs.h"

#include <QByteArrayView>
#include <QList>

namespace kx {

// Reading the buffers an SKF library fills: the multi-strings of device and application names
// and the finger area of the fingerprint information.

// Splits a multi-string into names; names keep their spaces, and a question mark in a name comes
// back as a space.
QList<QByteArray> splitSkfNames(QByteArrayView buffer);

// Whether the finger bytes are a list of finger numbers (some meaningful byte above 1) rather
// than a presence map.
bool fingerBytesAreNumbers(const FingerInfo& info);
// Whether finger `finger` (1 to 10) is enrolled in `info`.
bool fingerIsEnrolled(const FingerInfo& info, int finger);
// The fingers to delete for "delete all", in ascending position order over the first ten bytes:
// finger p+1 for each non-zero byte p of a map, the number in each non-zero byte of a list.
QList<int> enrolledFingerList(const FingerInfo& info);

} // namespace kx
