// The agent's codec alone: argument decoding, the result writer's limit and
// the event layouts.
#include <gtest/gtest.h>

#include <vector>

#include "codec.h"

using inkagent::DecodedCall;
using inkagent::ResultWriter;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes package(uint32_t message_id, const Bytes &payload) {
    Bytes p(INKAGENT_HEADER_SIZE + payload.size());
    inkagent_put_header(p.data(), INKAGENT_TYPE_CALL, message_id, static_cast<uint32_t>(p.size()));
    std::copy(payload.begin(), payload.end(), p.begin() + INKAGENT_HEADER_SIZE);
    return p;
}

void put(Bytes &b, uint32_t v) {
    b.resize(b.size() + 4);
    inkagent_put_u32(b.data() + b.size() - 4, v);
}

TEST(AgentCodec, EveryFunctionIdHasAShapeAndNoOtherDoes) {
    const uint32_t known[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A,
                              0x0B, 0x0C, 0x0D, 0x0E, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15,
                              0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E};
    int found = 0;
    for (uint32_t id = 0; id < 256; ++id) {
        bool listed = std::find(std::begin(known), std::end(known), id) != std::end(known);
        const auto *shape = inkagent::find_function(id);
        EXPECT_EQ(shape != nullptr, listed) << "id " << id;
        if (shape != nullptr) {
            EXPECT_EQ(shape->id, id);
            ++found;
        }
    }
    EXPECT_EQ(found, 29);
}

TEST(AgentCodec, ArgumentsDecodeInOrder) {
    Bytes args;
    put(args, 3);     // device
    put(args, 1);     // interface
    put(args, 512);   // capacity
    put(args, 2500);  // time-out
    DecodedCall call;
    Bytes p = package(INKAGENT_MESSAGE_ID(0xABCDEF, INKAGENT_FN_RECEIVE_SSP_MESSAGE), args);
    ASSERT_EQ(inkagent::decode_call(p.data(), p.size(), &call), INKAGENT_STATUS_OK);
    EXPECT_EQ(call.message_id, 0xABCDEF15u);
    ASSERT_EQ(call.value_count, 4);
    EXPECT_EQ(call.values[0], 3u);
    EXPECT_EQ(call.values[1], 1u);
    EXPECT_EQ(call.values[2], 512u);
    EXPECT_EQ(call.values[3], 2500u);

    // A text, then its capacity: units are little-endian pairs.
    Bytes hello;
    put(hello, 2);
    hello.insert(hello.end(), {'h', 0, 0x34, 0x12});
    put(hello, 50);
    p = package(INKAGENT_MESSAGE_ID(1, INKAGENT_FN_SAY_HELLO), hello);
    ASSERT_EQ(inkagent::decode_call(p.data(), p.size(), &call), INKAGENT_STATUS_OK);
    ASSERT_EQ(call.data_count, 2u);
    EXPECT_EQ(inkagent_get_u16(call.data), 'h');
    EXPECT_EQ(inkagent_get_u16(call.data + 2), 0x1234);
    ASSERT_EQ(call.value_count, 1);
    EXPECT_EQ(call.values[0], 50u);
}

TEST(AgentCodec, CapacityLimitsAreInclusive) {
    for (uint32_t capacity : {INKAGENT_MAX_TEXT_CAPACITY, INKAGENT_MAX_TEXT_CAPACITY + 1}) {
        Bytes args;
        put(args, 0);
        put(args, capacity);
        Bytes p = package(INKAGENT_MESSAGE_ID(1, INKAGENT_FN_TRANSLATE_ERROR_CODE), args);
        DecodedCall call;
        EXPECT_EQ(
            inkagent::decode_call(p.data(), p.size(), &call),
            capacity == INKAGENT_MAX_TEXT_CAPACITY ? INKAGENT_STATUS_OK : INKAGENT_STATUS_REFUSED);
    }
    for (uint32_t time_out : {inkagent::kMaxTimeOut, inkagent::kMaxTimeOut + 1}) {
        Bytes args;
        put(args, 1);
        put(args, 0);
        put(args, 10);
        put(args, time_out);
        Bytes p = package(INKAGENT_MESSAGE_ID(1, INKAGENT_FN_RECEIVE_SSP_MESSAGE), args);
        DecodedCall call;
        EXPECT_EQ(inkagent::decode_call(p.data(), p.size(), &call),
                  time_out == inkagent::kMaxTimeOut ? INKAGENT_STATUS_OK : INKAGENT_STATUS_REFUSED);
    }
}

TEST(AgentCodec, WriterTurnsOutputsBeyondTheLimitIntoTooLarge) {
    // Room for outputs: the limit less header, status and result.
    const size_t room = INKAGENT_MAX_OUTBOUND - INKAGENT_HEADER_SIZE - INKAGENT_RESULT_PREFIX;
    {
        ResultWriter out(0x4211);
        Bytes fill(room - 4, 0x5A);
        out.bytes(fill.data(), static_cast<uint32_t>(fill.size()));
        EXPECT_FALSE(out.overflowed());
        size_t size = out.finish(77);
        ASSERT_EQ(size, INKAGENT_MAX_OUTBOUND) << "exactly at the limit still fits";
        EXPECT_EQ(inkagent_get_u32(out.data() + INKAGENT_OFFSET_TOTAL_SIZE), size);
        EXPECT_EQ(inkagent_get_u32(out.data() + INKAGENT_HEADER_SIZE), INKAGENT_STATUS_OK);
        EXPECT_EQ(inkagent_get_u32(out.data() + INKAGENT_HEADER_SIZE + 4), 77u);
        EXPECT_EQ(out.data()[size - 1], 0x5A);
    }
    {
        ResultWriter out(0x4211);
        std::vector<uint16_t> units(room / 2, u'x');
        out.text(units.data(), static_cast<uint32_t>(units.size()));
        out.u32(5);
        EXPECT_TRUE(out.overflowed());
        size_t size = out.finish(77);
        EXPECT_EQ(size, INKAGENT_HEADER_SIZE + INKAGENT_RESULT_PREFIX);
        EXPECT_EQ(inkagent_get_u32(out.data() + INKAGENT_OFFSET_MESSAGE_ID), 0x4211u);
        EXPECT_EQ(inkagent_get_u32(out.data() + INKAGENT_HEADER_SIZE), INKAGENT_STATUS_TOO_LARGE);
        EXPECT_EQ(inkagent_get_u32(out.data() + INKAGENT_HEADER_SIZE + 4), 0u) << "no result";
    }
}

TEST(AgentCodec, EventLayouts) {
    uint8_t report[64];
    for (int i = 0; i < 64; ++i)
        report[i] = static_cast<uint8_t>(i * 3);
    uint8_t out[INKAGENT_DATA_EVENT_SIZE + 8];
    size_t size = inkagent::encode_data_event(out, 2, 1, report, 64);
    ASSERT_EQ(size, INKAGENT_DATA_EVENT_SIZE);
    EXPECT_EQ(size, 110u);
    EXPECT_EQ(inkagent_get_u16(out), INKAGENT_TYPE_EVENT);
    EXPECT_EQ(inkagent_get_u16(out + 2), INKAGENT_PACKAGE_VERSION);
    EXPECT_EQ(inkagent_get_u32(out + 4), INKAGENT_EV_DATA_RECEIVED);
    EXPECT_EQ(inkagent_get_u32(out + 8), 110u);
    EXPECT_EQ(inkagent_get_u32(out + 12), 110u);
    EXPECT_EQ(inkagent_get_u32(out + 34), 2u);
    EXPECT_EQ(inkagent_get_u32(out + 38), 1u);
    EXPECT_EQ(inkagent_get_u32(out + 42), 64u);
    EXPECT_EQ(0, memcmp(out + 46, report, 64));
    // A longer report is cut to the report size.
    EXPECT_EQ(inkagent::encode_data_event(out, 2, 1, report, 1000), INKAGENT_DATA_EVENT_SIZE);

    size = inkagent::encode_removed_event(out, 9);
    ASSERT_EQ(size, 38u);
    EXPECT_EQ(inkagent_get_u32(out + 4), INKAGENT_EV_DEVICE_REMOVED);
    EXPECT_EQ(inkagent_get_u32(out + 8), 38u);
    EXPECT_EQ(inkagent_get_u32(out + 34), 9u);

    uint8_t arrived[INKAGENT_ARRIVED_EVENT_MAX_SIZE];
    const uint16_t serial[] = {u'A', u'B', 0x1234};
    size = inkagent::encode_arrived_event(arrived, 3, 0x22C9, 0x901, serial, 3);
    ASSERT_EQ(size, 56u);
    EXPECT_EQ(inkagent_get_u32(arrived + 4), INKAGENT_EV_DEVICE_ARRIVED);
    EXPECT_EQ(inkagent_get_u32(arrived + 8), 56u);
    const uint8_t payload[] = {3, 0, 0, 0, 0xC9, 0x22, 0, 0,   0x01, 0x09, 0,
                               0, 3, 0, 0, 0,    'A',  0, 'B', 0,    0x34, 0x12};
    EXPECT_EQ(0, memcmp(arrived + 34, payload, sizeof payload));
    // A longer serial number is cut to the limit, and fills the package exactly.
    std::vector<uint16_t> long_serial(1000, u'x');
    EXPECT_EQ(inkagent::encode_arrived_event(arrived, 3, 1, 2, long_serial.data(), 1000),
              INKAGENT_ARRIVED_EVENT_MAX_SIZE);
    EXPECT_EQ(inkagent_get_u32(arrived + 46), INKAGENT_SERIAL_UNITS);
}

}  // namespace
