// SPDX-License-Identifier: Apache-2.0
// The frames of the local command channels, read in pieces of any size as a socket delivers them:
// a frame that completes re-encodes to exactly the bytes it took, a refused header is one that
// claims too long a payload, and the command texts and system commands inside re-encode to what
// they decode from.
#include "FuzzCheck.h"

#include "common/CommandChannel.h"
#include "platform/ChannelFrame.h"

#include <cstdint>

using kx::fuzz::check;
using kx::platform::FrameReader;

namespace {

std::uint32_t claimedLength(std::string_view header)
{
    std::uint32_t length = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        length |= static_cast<std::uint32_t>(static_cast<unsigned char>(header[1 + i])) << (8 * i);
    }
    return length;
}

void checkPayload(const kx::platform::ChannelFrame& frame)
{
    const QString text = kx::decodeCommandText(frame.payload);
    check(!text.contains(QChar(0)), "a command text ends at its first zero character");
    check(kx::decodeCommandText(kx::encodeCommandText(text)) == text, "a command text survives re-encoding");
    if (const auto command = kx::decodeSystemCommand(frame.payload)) {
        check(kx::encodeSystemCommand(*command) == frame.payload, "a system command re-encodes to its payload");
    } else {
        check(frame.payload.size() != 4, "every 4-byte payload is a system command");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1) {
        return 0;
    }
    // The first byte chooses the sizes of the pieces the rest arrives in (1 to 16 bytes, or all
    // at once), as a socket may split a frame anywhere.
    const std::size_t piece = data[0] % 17;
    const std::string_view bytes = kx::fuzz::bytesOf(data + 1, size - 1);
    if (bytes.size() > kx::platform::kFrameHeaderSize + kx::platform::kMaxFramePayload) {
        return 0;
    }
    FrameReader reader;
    std::size_t consumed = 0;
    while (consumed < bytes.size() && reader.progress() == FrameReader::Progress::Incomplete) {
        const std::string_view chunk = bytes.substr(consumed, piece == 0 ? std::string_view::npos : piece);
        std::size_t taken = 0;
        reader.feed(chunk, taken);
        check(taken <= chunk.size(), "the reader takes only bytes it was given");
        check(taken > 0 || reader.progress() != FrameReader::Progress::Incomplete, "an incomplete frame takes bytes");
        consumed += taken;
    }
    switch (reader.progress()) {
    case FrameReader::Progress::Complete: {
        const auto& frame = reader.frame();
        check(kx::platform::encodeFrame(frame.kind, frame.payload) == bytes.substr(0, consumed),
              "a complete frame re-encodes to the bytes it took");
        check(frame.payload.size() <= kx::platform::kMaxFramePayload, "a payload stays within its bound");
        checkPayload(frame);
        break;
    }
    case FrameReader::Progress::Failed:
        check(consumed == kx::platform::kFrameHeaderSize, "a frame is refused at its header");
        check(claimedLength(bytes) > kx::platform::kMaxFramePayload, "only too long a payload is refused");
        break;
    case FrameReader::Progress::Incomplete:
        check(consumed == bytes.size() && reader.wanted() > 0, "an incomplete frame took every byte and wants more");
        break;
    }
    return 0;
}
