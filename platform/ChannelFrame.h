// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kx::platform {

// One frame of the user's local channels: a kind byte, a 32-bit little-endian payload length and
// the payload.
struct ChannelFrame
{
    char kind = 0;
    std::string payload;
};

// The largest payload a frame may carry.
inline constexpr std::size_t kMaxFramePayload = 64 * 1024;
// Kind byte and length.
inline constexpr std::size_t kFrameHeaderSize = 5;

// The bytes of one frame.
std::string encodeFrame(char kind, std::string_view payload);

// Collects one frame from bytes as they arrive, in pieces of any size. It takes no byte beyond its
// frame, and refuses a header that claims more than kMaxFramePayload before any payload is taken,
// so what it holds stays bounded whatever a peer sends.
class FrameReader
{
public:
    enum class Progress
    {
        Incomplete, // more bytes are needed
        Complete,   // frame() holds the frame
        Failed      // the header claimed too long a payload
    };

    // How many more bytes the frame needs (0 once it is complete or has failed).
    std::size_t wanted() const;
    // Takes at most wanted() bytes of `bytes`; `taken` says how many it took.
    Progress feed(std::string_view bytes, std::size_t& taken);
    Progress progress() const { return m_progress; }
    const ChannelFrame& frame() const { return m_frame; }

private:
    std::string m_header;
    std::size_t m_payloadLength = 0;
    bool m_haveHeader = false;
    Progress m_progress = Progress::Incomplete;
    ChannelFrame m_frame;
};

} // namespace kx::platform
