// SPDX-License-Identifier: Apache-2.0
// The virtual key's own files: a key.conf that parses is written back so that it parses to the
// same key, and an object file that parses is written back to the same attributes.
#include "FuzzCheck.h"

#include "core/KeyRecord.h"
#include "core/KeyStore.h"

#include <stdexcept>

using kx::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(kx::fuzz::bytesOf(data, size));
    if (size <= keysim::KeyRecord::kMaxFileSize) {
        try {
            const std::string written = keysim::KeyRecord::parse(text).serialize();
            try {
                check(keysim::KeyRecord::parse(written).serialize() == written,
                      "a written key record reads back as the same key");
            } catch (const std::runtime_error&) {
                check(false, "a written key record parses");
            }
        } catch (const std::runtime_error&) {
            // A malformed file is refused with an error, which the store reports.
        }
    }
    if (size <= keysim::KeyStore::kMaxObjectFileSize) {
        if (const auto attributes = keysim::KeyStore::parseObjectText(text)) {
            const auto reread = keysim::KeyStore::parseObjectText(keysim::KeyStore::objectText(*attributes));
            check(reread == attributes, "a written object file reads back as the same attributes");
        }
    }
    return 0;
}
