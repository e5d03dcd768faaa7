// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "token/TokenRecords.h"

#include <QByteArray>
#include <QList>

#include <vector>

namespace kx {

// What one enumeration of the keys found: the keys in the token library's order with their
// information, and what the SKF library says of sensors.
struct KeyListing
{
    // 0, or the code of the step that failed: the enumeration itself, or the information of the
    // key after the last one listed.
    int result = 0;
    // How many keys the token library found before their information was read; -1 when the
    // enumeration itself failed.
    int found = -1;
    // Identities (serial, "#n" for repeats) and information, in position order.
    QList<QByteArray> keys;
    std::vector<TR7Info> infos;
    // The sensor search ran (the manager's enumeration): a sensor (fingerprint, or finger vein)
    // was reported, and which keys carry one themselves.
    bool sensorSearched = false;
    bool fingerSupported = false;
    bool fingerVein = false;
    QList<bool> keySensor;
    // What each key is and can do (DRV_CAP_ bits), in position order.
    QList<int> caps;
};

} // namespace kx
