// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "CliContext.h"

#include "token/TokenRecords.h"

#include <functional>

namespace kx::cli {

// The commands that change a key. A locked PIN is found out from the key's PIN state before any
// PIN is asked for, so no command spends a try to learn it; a write that changes several objects
// goes through the key's journal, under the lock that keeps the programs from writing at once.

// Reads the key's PIN state, then goes on with `next` unless the PIN is locked (reported then).
void WhenPinUsable(CliContext& context, std::function<void(const PinState&)> next);

// Reads the key's PIN from where the options say (the terminal by default); null, with the
// failure reported and the command ended, when there is none.
SharedSecret ReadKeyPin(CliContext& context);

// Tells a running monitor that this command changed the key: it registers the keys'
// certificates again, reading the keys anew, and tells the manager to read its tree again. No
// monitor running: nothing happens.
void NoticeKeyChanged();

// Starts the periodic PIN change cycle of the user's settings again after the PIN was set.
void RecordPinChangeDay(const CliContext& context);

// Deletes a container, or the certificate of one of its key pairs, after a confirmation (--yes,
// or a question on the terminal) and a login.
void RunDelete(CliContext& context);
// Gives the key a new label.
void RunRename(CliContext& context);
// Changes the user PIN: the current one, then the new one (twice on a terminal).
void RunChangePin(CliContext& context);

} // namespace kx::cli
