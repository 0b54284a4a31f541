#include "SerialFrame.hpp"

#include <gtest/gtest.h>

using namespace emu;
using Result = HostFrameParser::Result;

namespace {

std::vector<Result> feedAll(HostFrameParser& parser, const std::vector<uint8_t>& bytes, Nanos start = 0,
                            Nanos step = 0) {
    std::vector<Result> results;
    Nanos now = start;
    for (uint8_t byte : bytes) {
        Result result = parser.feed(byte, now);
        if (result != Result::Nothing)
            results.push_back(result);
        now += step;
    }
    return results;
}

} // namespace

TEST(HostFrameParser, TellsGoodFramesFromBadOnesAndControlBytes) {
    HostFrameParser parser;
    EXPECT_EQ(feedAll(parser, {0x01, 0x03, 0x00, 0x15, 0xe9}), std::vector<Result>{Result::GoodFrame});
    EXPECT_EQ(parser.frame(), (std::vector<uint8_t>{0x01, 0x03, 0x00, 0x15, 0xe9}));
    EXPECT_EQ(feedAll(parser, {0x01, 0x03, 0x00, 0x15, 0xe8}), std::vector<Result>{Result::BadFrame});
    EXPECT_EQ(feedAll(parser, {0x06, 0x15, 0x18}),
              (std::vector<Result>{Result::Ack, Result::Nak, Result::Can}));
}

TEST(HostFrameParser, SkipsNoiseAndShortLengthsAndFindsTheNextFrame) {
    HostFrameParser parser;
    // A stray byte, then SOF with a length too short to be a frame, then a whole frame.
    std::vector<Result> results = feedAll(parser, {0x7f, 0x01, 0x02, 0x01, 0x04, 0x00, 0x2e, 0x00, 0xd5});
    EXPECT_EQ(results, (std::vector<Result>{Result::Noise, Result::Noise, Result::GoodFrame}));
    EXPECT_EQ(parser.frame().size(), 6u);
}

TEST(HostFrameParser, DropsAFrameWhoseBytesStopArriving) {
    HostFrameParser parser;
    EXPECT_TRUE(feedAll(parser, {0x01, 0x05, 0x00}, 0).empty());
    // 1.6 s later a new frame starts: the stale start is forgotten, not completed by these bytes.
    std::vector<Result> results = feedAll(parser, {0x01, 0x03, 0x00, 0x15, 0xe9}, millis(1600), millis(1));
    EXPECT_EQ(results, std::vector<Result>{Result::GoodFrame});
    EXPECT_EQ(parser.frame(), (std::vector<uint8_t>{0x01, 0x03, 0x00, 0x15, 0xe9}));
}
