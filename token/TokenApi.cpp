// SPDX-License-Identifier: Apache-2.0
#include "TokenApi.h"

namespace kx {

TokenApi& tokenApi()
{
    static TokenApi api;
    return api;
}

} // namespace kx
