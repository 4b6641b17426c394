// The pad's token codec against the documented byte examples, and the
// stream decoder against arbitrary cuts of the stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "pad_pen.h"
#include "pad_ssp.h"
#include "test_unit_fake_host.h"

namespace padsim {
namespace {

using testing::bytes;

struct EncodeCase {
    const char *name;
    Bytes message;
    Bytes tokens;
};

TEST(PadSspCodec, EncodesDocumentedExamples) {
    const EncodeCase cases[] = {
        {"component list request", bytes({0x00, 0x00, 0x00, 0x10}),
         bytes({0xAA, 0x55, 0x02, 0x00, 0x00, 0x00, 0x10})},
        {"pair in the middle", bytes({0x12, 0xAA, 0x55, 0x34}),
         bytes({0xAA, 0x55, 0x02, 0x12, 0xAA, 0x55, 0x00, 0x34})},
        {"lone AA", bytes({0xAA}), bytes({0xAA, 0x55, 0x02, 0xAA})},
        {"pair only", bytes({0xAA, 0x55}), bytes({0xAA, 0x55, 0x02, 0xAA, 0x55, 0x00})},
        {"pair then 55", bytes({0xAA, 0x55, 0x55}),
         bytes({0xAA, 0x55, 0x02, 0xAA, 0x55, 0x00, 0x55})},
        {"trailing AA stays", bytes({0x01, 0xAA}), bytes({0xAA, 0x55, 0x02, 0x01, 0xAA})},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(ssp::encode_tokens(c.message), c.tokens) << c.name;
    }
}

struct DecodeCase {
    const char *name;
    Bytes tokens;
    std::optional<std::vector<Bytes>> frames;
};

TEST(PadSspCodec, DecodesDocumentedExamples) {
    const DecodeCase cases[] = {
        {"two frames", bytes({0xAA, 0x55, 0x02, 0x01, 0x02, 0xAA, 0x55, 0x02, 0x03}),
         std::vector<Bytes>{bytes({0x01, 0x02}), bytes({0x03})}},
        {"garbage before SOF", bytes({0x07, 0x08, 0xAA, 0x55, 0x02, 0x09}),
         std::vector<Bytes>{bytes({0x09})}},
        {"no SOF", bytes({0x01, 0x02, 0xAA, 0x55, 0x00}), std::nullopt},
        {"SOF alone", bytes({0xAA, 0x55, 0x02}), std::vector<Bytes>{}},
        {"short pair at the end", bytes({0xAA, 0x55, 0x02, 0x11, 0xAA, 0x55}),
         std::vector<Bytes>{bytes({0x11, 0xAA, 0x55})}},
        {"unknown token type", bytes({0xAA, 0x55, 0x02, 0x11, 0xAA, 0x55, 0x07}),
         std::vector<Bytes>{bytes({0x11, 0xAA, 0x55, 0x07})}},
        {"escape", bytes({0xAA, 0x55, 0x02, 0x12, 0xAA, 0x55, 0x00, 0x34}),
         std::vector<Bytes>{bytes({0x12, 0xAA, 0x55, 0x34})}},
        {"AA before a SOF", bytes({0xAA, 0x55, 0x02, 0x01, 0xAA, 0xAA, 0x55, 0x02, 0x02}),
         std::vector<Bytes>{bytes({0x01, 0xAA}), bytes({0x02})}},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(ssp::decode_tokens(c.tokens), c.frames) << c.name;
    }
}

TEST(PadSspCodec, MessageSizesFromHeaders) {
    const Bytes max_base = bytes({0x05, 0xFF, 0xFF});
    EXPECT_EQ(ssp::full_size(max_base.data(), 3), std::optional<size_t>(65536 + 3));
    const Bytes old64 = bytes({0xBF});
    EXPECT_EQ(ssp::full_size(old64.data(), 1), std::optional<size_t>(65));
    EXPECT_EQ(ssp::full_size(max_base.data(), 2), std::nullopt);

    Bytes data(64, 0x11);
    auto m = ssp::make_old(data.data(), 64, false);
    ASSERT_TRUE(m);
    EXPECT_EQ((*m)[0], 0xBF);
    Bytes more(65, 0x11);
    EXPECT_FALSE(ssp::make_old(more.data(), 65, false));
    EXPECT_EQ((*ssp::make_old(data.data(), 1, true))[0], 0xC0);

    EXPECT_EQ(ssp::make_base(2, bytes({0x10, 0x00, 0x00})),
              bytes({0x02, 0x02, 0x00, 0x10, 0x00, 0x00}));
}

// The pad cuts at the declared size, so a message ending in a lone AA is
// complete at once and needs no following SOF.
TEST(PadSspStreamDecoder, CutsAtDeclaredSize) {
    ssp::TokenDecoder dec(true);
    std::vector<ssp::TokenDecoder::Frame> frames;
    const Bytes msg = bytes({0x81, 0x00, 0xAA});  // legacy message of 2 bytes
    dec.feed(ssp::encode_tokens(msg), frames);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].bytes, msg);
    EXPECT_TRUE(frames[0].complete);

    dec.feed(bytes({0x00, 0x01}), frames);  // after the message: stray
    EXPECT_EQ(dec.stray_bytes(), 2u);
    EXPECT_EQ(frames.size(), 1u);
}

TEST(PadSspStreamDecoder, MarksAMessageCutShortBySof) {
    ssp::TokenDecoder dec(true);
    std::vector<ssp::TokenDecoder::Frame> frames;
    dec.feed(bytes({0xAA, 0x55, 0x02, 0x01, 0x05, 0x00, 0x10, 0xAA, 0x55, 0x02, 0x80, 0x07}),
             frames);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].bytes, bytes({0x01, 0x05, 0x00, 0x10}));
    EXPECT_FALSE(frames[0].complete);
    EXPECT_EQ(frames[1].bytes, bytes({0x80, 0x07}));
    EXPECT_TRUE(frames[1].complete);
}

// Property: any run of messages, encoded and cut into pieces anywhere
// (tokens included), decodes back to the same messages.
TEST(PadSspStreamDecoder, RoundTripsUnderArbitraryCuts) {
    std::mt19937 rng(20240611);
    auto byte = [&] {
        // Bias towards the token bytes so that escapes and near-tokens occur.
        static const uint8_t hot[] = {0xAA, 0x55, 0x00, 0x02};
        return (rng() % 3 == 0) ? hot[rng() % 4] : static_cast<uint8_t>(rng());
    };
    for (int round = 0; round < 300; ++round) {
        std::vector<Bytes> msgs;
        Bytes stream;
        const int count = 1 + static_cast<int>(rng() % 4);
        for (int i = 0; i < count; ++i) {
            Bytes m;
            if (rng() % 2 == 0) {
                Bytes data(1 + rng() % 64);
                for (auto &b : data) {
                    b = byte();
                }
                m = *ssp::make_old(data.data(), data.size(), rng() % 2 == 0);
            } else {
                Bytes payload(1 + rng() % 200);
                for (auto &b : payload) {
                    b = byte();
                }
                m = ssp::make_base(static_cast<uint8_t>(rng() % 128), payload);
            }
            msgs.push_back(m);
            Bytes t = ssp::encode_tokens(m);
            stream.insert(stream.end(), t.begin(), t.end());
        }
        ssp::TokenDecoder dec(true);
        std::vector<ssp::TokenDecoder::Frame> frames;
        for (size_t off = 0; off < stream.size();) {
            size_t n = std::min<size_t>(1 + rng() % 70, stream.size() - off);
            dec.feed(stream.data() + off, n, frames);
            off += n;
        }
        ASSERT_EQ(frames.size(), msgs.size()) << "round " << round;
        for (size_t i = 0; i < msgs.size(); ++i) {
            EXPECT_EQ(frames[i].bytes, msgs[i]) << "round " << round << " message " << i;
            EXPECT_TRUE(frames[i].complete);
        }
        EXPECT_EQ(dec.stray_bytes(), 0u);
    }
}

TEST(PadPenReport, RoundTripsAndRejectsDamage) {
    PenSample s;
    s.seq = 0x01020304;
    s.x = 1234;
    s.y = 567;
    s.pressure = 800;
    s.stroke = 9;
    for (size_t size : {size_t{20}, size_t{64}}) {
        for (bool aa55 : {false, true}) {
            Bytes r = make_pen_report(s, size, aa55);
            ASSERT_EQ(r.size(), size);
            PenSample back;
            ASSERT_TRUE(parse_pen_report(r.data(), r.size(), &back));
            EXPECT_EQ(back.seq, s.seq);
            EXPECT_EQ(back.x, s.x);
            EXPECT_EQ(back.y, s.y);
            EXPECT_EQ(back.pressure, s.pressure);
            EXPECT_EQ(back.stroke, s.stroke);
            r[5] ^= 0x01;
            EXPECT_FALSE(parse_pen_report(r.data(), r.size(), nullptr));
        }
    }
    const Bytes aa = make_pen_report(s, 64, true);
    const Bytes pair = bytes({0xAA, 0x55});
    EXPECT_NE(std::search(aa.begin(), aa.end(), pair.begin(), pair.end()), aa.end());
}

}  // namespace
}  // namespace padsim
