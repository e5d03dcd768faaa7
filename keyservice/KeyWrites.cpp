// SPDX-License-Identifier: Apache-2.0
#include "KeyWrites.h"

#include "KeyCall.h"
#include "KeyJournal.h"

#include "drivers/drevmor/drevmor.h"
#include "token/TokenWrappers.h"

namespace kx {

bool RefusedBeforeWriting(int result)
{
    switch (result) {
    case DRV_NOT_LOGGED_IN:
    case 0x101: // CKR_USER_NOT_LOGGED_IN
    case DRV_NOT_FOUND:
    case DRV_EXISTS:
    case DRV_INVALID_PARAM:
    case DRV_NO_FILE_PARSED:
    case DRV_CERT_TOO_LARGE:
    case DRV_KEY_MISMATCH:
    case DRV_MECHANISM_MISSING:
    case DRV_PRIVATE_KEY_REFUSED:
        return true;
    default:
        return false;
    }
}

bool NeedsLogin(int result)
{
    return result == DRV_NOT_LOGGED_IN || result == 0x101 || result == DRV_LOGIN_LOST;
}

bool PairHasKeys(const KeyCall& key, const QByteArray& container, int keySpec)
{
    int algorithm = 0;
    if (key.at([&](int position) { return container_get_pubkey(position, container, keySpec, algorithm); }) == 0) {
        return true;
    }
    int privateAlgorithm = 0;
    return key.at([&](int position) {
        return container_get_prikey(position, container, keySpec, &privateAlgorithm);
    }) == 0;
}

int UndoWrite(const KeyCall& key, const JournalEntry& entry)
{
    int result = 0;
    if (entry.newContainer) {
        result = key.at([&](int position) { return container_delete(position, entry.container); });
    } else if (entry.pairWasEmpty) {
        result =
            key.at([&](int position) { return container_delete_keypair(position, entry.container, entry.keySpec); });
    }
    return result == DRV_NOT_FOUND ? 0 : result;
}

} // namespace kx
