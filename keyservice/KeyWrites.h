// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>

namespace kx {

class KeyCall;
struct JournalEntry;

// What the writes to a key (imports, generations, deletions) share.

// Whether the key refused a write before anything was written: the user is not logged in, the
// key has no such container or no room, the input or the mechanism was refused.
bool RefusedBeforeWriting(int result);

// Whether the result asks for the user's login first.
bool NeedsLogin(int result);

// Whether a key pair of a container holds any key.
bool PairHasKeys(const KeyCall& key, const QByteArray& container, int keySpec);

// Takes back what a write that failed may have made: the container made for it, or the keys
// written into a key pair that had none. 0 when the key is as before, else the key's code.
int UndoWrite(const KeyCall& key, const JournalEntry& entry);

} // namespace kx
