// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

namespace kx {

struct SettledWrite;

// What the user is told once a write left unfinished on a key was finished or undone.
QString JournalSettledText(const QString& keyLabel, const SettledWrite& settled);

// What a program says of a key that has been working for a while: `step` is the language key of
// what it waits for.
QString KeyWaitingText(const QString& keyLabel, const QString& step);

} // namespace kx
