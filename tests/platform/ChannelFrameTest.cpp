// SPDX-License-Identifier: Apache-2.0
#include "platform/ChannelFrame.h"

#include <gtest/gtest.h>

using namespace kx::platform;

namespace {

// Feeds `bytes` in pieces of `piece` bytes until the reader stops wanting more; returns the
// number of bytes it took.
std::size_t feedInPieces(FrameReader& reader, std::string_view bytes, std::size_t piece)
{
    std::size_t consumed = 0;
    while (consumed < bytes.size() && reader.progress() == FrameReader::Progress::Incomplete) {
        std::size_t taken = 0;
        reader.feed(bytes.substr(consumed, piece), taken);
        consumed += taken;
    }
    return consumed;
}

} // namespace

TEST(ChannelFrame, FrameInAnyPiecesStopsAtItsEnd)
{
    const std::string frame = encodeFrame('T', std::string("C\0L\0\0\0", 6));
    ASSERT_EQ(frame.size(), kFrameHeaderSize + 6);
    const std::string stream = frame + encodeFrame('S', "abcd");
    for (const std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{4}, std::size_t{7}, stream.size()}) {
        FrameReader reader;
        EXPECT_EQ(feedInPieces(reader, stream, piece), frame.size()) << "pieces of " << piece;
        ASSERT_EQ(reader.progress(), FrameReader::Progress::Complete);
        EXPECT_EQ(reader.frame().kind, 'T');
        EXPECT_EQ(reader.frame().payload, std::string("C\0L\0\0\0", 6));
        EXPECT_EQ(reader.wanted(), 0u);
    }
}

TEST(ChannelFrame, EmptyPayloadCompletesAtTheHeader)
{
    FrameReader reader;
    EXPECT_EQ(feedInPieces(reader, encodeFrame('Q', {}), 3), kFrameHeaderSize);
    EXPECT_EQ(reader.progress(), FrameReader::Progress::Complete);
    EXPECT_TRUE(reader.frame().payload.empty());
}

TEST(ChannelFrame, TooLongAPayloadIsRefusedAtTheHeader)
{
    std::string header = encodeFrame('T', {});
    header[1] = 1;
    header[3] = 1; // 65537 bytes: one past the bound
    FrameReader reader;
    EXPECT_EQ(feedInPieces(reader, header + "payload", 64), kFrameHeaderSize);
    EXPECT_EQ(reader.progress(), FrameReader::Progress::Failed);
    EXPECT_EQ(reader.wanted(), 0u);

    FrameReader atBound;
    const std::string largest = encodeFrame('T', std::string(kMaxFramePayload, 'x'));
    EXPECT_EQ(feedInPieces(atBound, largest, 4096), largest.size());
    EXPECT_EQ(atBound.progress(), FrameReader::Progress::Complete);
}

TEST(ChannelFrame, HalfAFrameWantsTheRest)
{
    const std::string frame = encodeFrame('S', "abcd");
    FrameReader reader;
    EXPECT_EQ(feedInPieces(reader, frame.substr(0, 7), 5), 7u);
    EXPECT_EQ(reader.progress(), FrameReader::Progress::Incomplete);
    EXPECT_EQ(reader.wanted(), 2u);
}
