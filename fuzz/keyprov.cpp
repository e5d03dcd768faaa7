// SPDX-License-Identifier: Apache-2.0
// The key-provider files of the certificate store: whatever a file holds, the names it yields are
// written back so that they read back the same; names of any bytes go in and come back unchanged.
#include "FuzzCheck.h"

#include "platform/CertStore.h"
#include "platform/IniDocument.h"

using kx::fuzz::check;
using kx::platform::KeyProvInfo;

namespace {

bool same(const KeyProvInfo& a, const KeyProvInfo& b)
{
    return a.container == b.container && a.provider == b.provider && a.keySpec == b.keySpec;
}

void checkRoundTrip(const KeyProvInfo& info)
{
    const auto reread = kx::platform::parseKeyProv(kx::platform::keyProvText(info));
    check(reread.has_value(), "a written key-provider file parses");
    check(same(*reread, info), "names come back as they went in");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > kx::platform::IniDocument::kMaxFileSize) {
        return 0;
    }
    const std::string_view bytes = kx::fuzz::bytesOf(data, size);
    if (const auto info = kx::platform::parseKeyProv(bytes)) {
        checkRoundTrip(*info);
    }
    // The bytes themselves as names: container up to the first NUL, provider after it.
    KeyProvInfo raw;
    const auto nul = bytes.find('\0');
    raw.container = std::string(bytes.substr(0, nul));
    raw.provider = nul == std::string_view::npos ? std::string() : std::string(bytes.substr(nul + 1));
    raw.keySpec = static_cast<int>(size % 3);
    checkRoundTrip(raw);
    return 0;
}
