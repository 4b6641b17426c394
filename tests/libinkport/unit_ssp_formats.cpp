#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "ssp_base_message.h"
#include "ssp_transport_token.h"
#include "uni_queue.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes encode(const Bytes &message) {
    void *out = nullptr;
    int n = ssp_base_message_to_transport_token_data(message.data(),
                                                     static_cast<unsigned>(message.size()), &out);
    if (n < 0)
        return {};
    Bytes tokens(static_cast<uint8_t *>(out), static_cast<uint8_t *>(out) + n);
    free(out);
    return tokens;
}

struct Decoded {
    int result;
    std::vector<Bytes> frames;
};

// Decodes from a heap copy of exactly the input's size, so that a sanitizer
// build sees any read past the end, and checks that the input is left as it was.
Decoded decode(const Bytes &tokens, uni_queue *queue = nullptr) {
    uni_queue *own = queue != nullptr ? queue : init_uni_queue();
    auto *copy = static_cast<uint8_t *>(malloc(tokens.size()));
    memcpy(copy, tokens.data(), tokens.size());
    Decoded d{ssp_transport_token_to_base_message_data(copy, tokens.size(), own), {}};
    EXPECT_EQ(memcmp(copy, tokens.data(), tokens.size()), 0) << "input was rewritten";
    free(copy);
    uint32_t length = 0;
    while (void *frame = get_uni_frame(own, &length)) {
        d.frames.emplace_back(static_cast<uint8_t *>(frame),
                              static_cast<uint8_t *>(frame) + length);
        free(frame);
    }
    if (queue == nullptr)
        destroy_uni_queue(own);
    return d;
}

}  // namespace

TEST(SspEncode, ByteLevelExamples) {
    const struct {
        Bytes message, tokens;
    } cases[] = {
        {{0xAA}, {0xAA, 0x55, 0x02, 0xAA}},
        {{0xAA, 0x55}, {0xAA, 0x55, 0x02, 0xAA, 0x55, 0x00}},
        {{0xAA, 0x55, 0x55}, {0xAA, 0x55, 0x02, 0xAA, 0x55, 0x00, 0x55}},
        {{0x00, 0x00, 0x00, 0x10}, {0xAA, 0x55, 0x02, 0x00, 0x00, 0x00, 0x10}},
        {{0x12, 0xAA, 0x55, 0x34}, {0xAA, 0x55, 0x02, 0x12, 0xAA, 0x55, 0x00, 0x34}},
        {{0xAA, 0xAA, 0x55, 0xAA}, {0xAA, 0x55, 0x02, 0xAA, 0xAA, 0x55, 0x00, 0xAA}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(encode(c.message), c.tokens) << testing::PrintToString(c.message);
}

TEST(SspEncode, RefusesBadArguments) {
    void *out = reinterpret_cast<void *>(0x1);
    uint8_t byte = 0;
    EXPECT_EQ(ssp_base_message_to_transport_token_data(nullptr, 1, &out), -1);
    EXPECT_EQ(ssp_base_message_to_transport_token_data(&byte, 0, &out), -1);
    EXPECT_EQ(ssp_base_message_to_transport_token_data(&byte, 1, nullptr), -1);
    EXPECT_EQ(out, reinterpret_cast<void *>(0x1));
}

TEST(SspDecode, ByteLevelExamples) {
    const struct {
        Bytes tokens;
        int result;
        std::vector<Bytes> frames;
    } cases[] = {
        {{0xAA, 0x55, 0x02, 0x01, 0x02, 0xAA, 0x55, 0x02, 0x03}, 2, {{0x01, 0x02}, {0x03}}},
        {{0x07, 0x08, 0xAA, 0x55, 0x02, 0x09}, 1, {{0x09}}},
        {{0x07, 0x08, 0xAA, 0x55, 0x00, 0x09}, -1, {}},
        {{0xAA, 0x55, 0x02}, 0, {}},
        {{0xAA, 0x55, 0x02, 0x11, 0xAA, 0x55}, 1, {{0x11, 0xAA, 0x55}}},
        {{0xAA, 0x55, 0x02, 0x11, 0xAA, 0x55, 0x07}, 1, {{0x11, 0xAA, 0x55, 0x07}}},
        {{0xAA, 0x55, 0x02, 0x11, 0xAA}, 1, {{0x11, 0xAA}}},
        {{0xAA, 0x55, 0x02, 0xAA, 0x55, 0x00}, 1, {{0xAA, 0x55}}},
        {{0xAA, 0x55, 0x02, 0xAA, 0xAA, 0x55, 0x02, 0x05}, 2, {{0xAA}, {0x05}}},
        {{0xAA, 0x55, 0x02, 0xAA, 0x55, 0x02}, 0, {}},
        {{0xAA, 0x55, 0xAA, 0x55, 0x02, 0x01}, 1, {{0x01}}},
        {{0xAA, 0x55, 0x00, 0xAA, 0x55, 0x02, 0x22}, 1, {{0x22}}},
        {{0xAA}, -1, {}},
    };
    for (const auto &c : cases) {
        Decoded d = decode(c.tokens);
        EXPECT_EQ(d.result, c.result) << testing::PrintToString(c.tokens);
        EXPECT_EQ(d.frames, c.frames) << testing::PrintToString(c.tokens);
    }
}

TEST(SspDecode, CountsFramesAlreadyQueued) {
    uni_queue *queue = init_uni_queue();
    ASSERT_EQ(add_uni_frame(queue, malloc(1), 1), 1);
    EXPECT_EQ(
        ssp_transport_token_to_base_message_data(Bytes{0xAA, 0x55, 0x02, 0x01}.data(), 4, queue),
        2);
    EXPECT_EQ(ssp_transport_token_to_base_message_data(Bytes{0xAA, 0x55, 0x02}.data(), 3, queue),
              2);
    EXPECT_EQ(ssp_transport_token_to_base_message_data(Bytes{0x01}.data(), 1, queue), -1);
    EXPECT_EQ(get_uni_queue_size(queue), 2);
    destroy_uni_queue(queue);
}

TEST(SspDecode, RefusesBadArguments) {
    uni_queue *queue = init_uni_queue();
    Bytes sof{0xAA, 0x55, 0x02, 0x01};
    EXPECT_EQ(ssp_transport_token_to_base_message_data(sof.data(), 0, queue), -1);
    EXPECT_EQ(ssp_transport_token_to_base_message_data(nullptr, 4, queue), -1);
    EXPECT_EQ(ssp_transport_token_to_base_message_data(sof.data(), 4, nullptr), -1);
    EXPECT_EQ(get_uni_queue_size(queue), 0);
    destroy_uni_queue(queue);
}

// Encoding then decoding gives the messages back, one frame each, for single
// messages and for streams of several, whatever bytes they hold.
TEST(SspRoundTrip, RandomMessagesAndStreams) {
    std::mt19937 rng(20240611);
    const std::vector<Bytes> alphabets = {
        {},  // any byte
        {0xAA, 0x55}, {0xAA}, {0x55}, {0xAA, 0x55, 0x00, 0x02},
    };
    auto message = [&](size_t max_len) {
        Bytes m(std::uniform_int_distribution<size_t>(1, max_len)(rng));
        const Bytes &alphabet = alphabets[rng() % alphabets.size()];
        for (auto &b : m)
            b = alphabet.empty() ? static_cast<uint8_t>(rng()) : alphabet[rng() % alphabet.size()];
        return m;
    };
    for (int round = 0; round < 400; ++round) {
        std::vector<Bytes> messages(1 + rng() % 5);
        Bytes stream;
        for (auto &m : messages) {
            m = message(round % 50 == 0 ? 70000 : 300);
            Bytes tokens = encode(m);
            ASSERT_FALSE(tokens.empty());
            stream.insert(stream.end(), tokens.begin(), tokens.end());
        }
        Decoded d = decode(stream);
        ASSERT_EQ(d.result, static_cast<int>(messages.size()));
        ASSERT_EQ(d.frames, messages) << "round " << round;
    }
}

TEST(SspOldMessage, CreateBoundsAndHeader) {
    Bytes data(65, 0x5A);
    void *message = nullptr;
    ASSERT_EQ(ssp_base_message_old_message_create(data.data(), 64, &message), 65);
    const auto *bytes = static_cast<const uint8_t *>(message);
    EXPECT_EQ(bytes[0], 0xBF);
    EXPECT_EQ(memcmp(bytes + 1, data.data(), 64), 0);
    EXPECT_EQ(ssp_base_message_old_message_get_data_length(message), 64u);
    EXPECT_EQ(ssp_base_message_is_it_biodata(message), 0);
    free(message);

    ASSERT_EQ(ssp_base_message_old_message_create(data.data(), 1, &message), 2);
    EXPECT_EQ(static_cast<const uint8_t *>(message)[0], 0x80);
    free(message);

    message = nullptr;
    EXPECT_EQ(ssp_base_message_old_message_create(data.data(), 65, &message), -1);
    EXPECT_EQ(ssp_base_message_old_message_create(data.data(), 0, &message), -1);
    EXPECT_EQ(ssp_base_message_old_message_create(nullptr, 4, &message), -1);
    EXPECT_EQ(message, nullptr);
}

TEST(SspBaseMessage, HeaderFieldsAndKinds) {
    const uint8_t longest[] = {0x05, 0xFF, 0xFF};
    const uint8_t shortest[] = {0x05, 0x00, 0x00};
    EXPECT_EQ(ssp_base_message_get_data_length(longest), 65536u);
    EXPECT_EQ(ssp_base_message_get_data_length(shortest), 1u);
    EXPECT_EQ(ssp_base_message_check_component_id(longest, 0x05), 0);
    EXPECT_EQ(ssp_base_message_check_component_id(longest, 0x06), -1);
    EXPECT_EQ(ssp_base_message_check_component_id(nullptr, 0x05), -1);

    const struct {
        uint8_t byte0;
        int old_message, biodata;
    } kinds[] = {{0x00, 0, 0}, {0x40, 0, 0}, {0x7F, 0, 0}, {0x80, 1, 0},
                 {0xBF, 1, 0}, {0xC0, 1, 1}, {0xFF, 1, 1}};
    for (const auto &k : kinds) {
        EXPECT_EQ(ssp_base_message_is_it_old_message(&k.byte0), k.old_message) << int{k.byte0};
        EXPECT_EQ(ssp_base_message_is_it_biodata(&k.byte0), k.biodata) << int{k.byte0};
    }
    EXPECT_EQ(ssp_base_message_is_it_old_message(nullptr), -1);
    EXPECT_EQ(ssp_base_message_is_it_biodata(nullptr), -1);
}

TEST(SspBaseMessage, SizesOfReceivedFrames) {
    uint8_t message[3 + 300] = {};
    ssp_base_message_set_header(message, 0x11, 300);
    EXPECT_EQ(message[0], 0x11);
    EXPECT_EQ(ssp_base_message_get_data_length(message), 300u);

    ssp_message_sizes s{};
    ASSERT_TRUE(ssp_message_sizes_of(message, 2 + 3, &s));  // header present, payload short
    EXPECT_EQ(s.header, 3u);
    EXPECT_EQ(s.data, 300u);
    EXPECT_EQ(s.full, 303u);
    EXPECT_FALSE(ssp_message_sizes_of(message, 2, &s));  // a base header needs 3 bytes

    const uint8_t old_message[] = {0xC2};
    ASSERT_TRUE(ssp_message_sizes_of(old_message, 1, &s));
    EXPECT_EQ(s.header, 1u);
    EXPECT_EQ(s.data, 3u);
    EXPECT_EQ(s.full, 4u);
}
