// SPDX-License-Identifier: Apache-2.0
#include "ChannelFrame.h"

#include <algorithm>
#include <cstdint>

namespace kx::platform {

std::string encodeFrame(char kind, std::string_view payload)
{
    std::string frame(kFrameHeaderSize, '\0');
    frame[0] = kind;
    const auto length = static_cast<std::uint32_t>(payload.size());
    for (std::size_t i = 0; i < 4; ++i) {
        frame[1 + i] = static_cast<char>((length >> (8 * i)) & 0xFF);
    }
    frame.append(payload);
    return frame;
}

std::size_t FrameReader::wanted() const
{
    if (m_progress != Progress::Incomplete) {
        return 0;
    }
    return m_haveHeader ? m_payloadLength - m_frame.payload.size() : kFrameHeaderSize - m_header.size();
}

FrameReader::Progress FrameReader::feed(std::string_view bytes, std::size_t& taken)
{
    taken = 0;
    while (m_progress == Progress::Incomplete) {
        if (m_haveHeader && m_frame.payload.size() == m_payloadLength) {
            m_progress = Progress::Complete;
            break;
        }
        const std::size_t n = std::min(wanted(), bytes.size() - taken);
        if (n == 0) {
            break;
        }
        const std::string_view piece = bytes.substr(taken, n);
        taken += n;
        if (m_haveHeader) {
            m_frame.payload.append(piece);
            continue;
        }
        m_header.append(piece);
        if (m_header.size() < kFrameHeaderSize) {
            continue;
        }
        std::uint32_t length = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            length |= static_cast<std::uint32_t>(static_cast<unsigned char>(m_header[1 + i])) << (8 * i);
        }
        if (length > kMaxFramePayload) {
            m_progress = Progress::Failed;
            break;
        }
        m_frame.kind = m_header[0];
        m_payloadLength = length;
        m_frame.payload.reserve(length);
        m_haveHeader = true;
    }
    return m_progress;
}

} // namespace kx::platform
