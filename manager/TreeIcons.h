// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QIcon>

namespace kx {

// The pictures of the key tree, addressed by their image index: 3 certificates, 4 change PIN,
// 7 about, 9 key list, 10 system information, 11 key name, 18 fingerprint, 22 remote unlock,
// 23 finger vein. Drawn at run time, so they stay sharp at any scale.
QIcon TreeIcon(int imageIndex);

} // namespace kx
