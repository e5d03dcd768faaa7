// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>

namespace drevmor {

// Shows a DER certificate in the desktop's certificate viewer: `gcr-viewer`, or the program
// named by $KX2700_CERT_VIEWER. The certificate goes to a private temporary file that is removed
// once the viewer has exited; the call returns at once.
int showCertificate(const std::uint8_t* der, size_t length);

} // namespace drevmor
