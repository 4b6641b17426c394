// The client's codecs alone: payload fields from untrusted bytes, packages
// cut from a stream however it was split, and the SSP requests inkctl
// builds for configuration variables.
#include <gtest/gtest.h>

#include <inkagent/protocol.h>

#include "agent_wire.h"
#include "ssp_requests.h"

using inkclient::Bytes;
using inkclient::wire::Package;
using inkclient::wire::PackageStream;

namespace {

Bytes package(uint16_t type, uint32_t id, const Bytes &payload) {
    Bytes p(INKAGENT_HEADER_SIZE + payload.size());
    inkagent_put_header(p.data(), type, id, static_cast<uint32_t>(p.size()));
    std::copy(payload.begin(), payload.end(), p.begin() + INKAGENT_HEADER_SIZE);
    return p;
}

}  // namespace

TEST(AgentWire, ReaderRefusesCountsBeyondTheBytesAndLeavesOutputsAlone) {
    // A count of 5: as text 10 bytes would have to follow, as bytes 5; 4 do.
    const Bytes data = {5, 0, 0, 0, 'a', 0, 'b', 0};
    inkclient::wire::Reader r(data.data(), data.size());
    std::u16string text = u"keep";
    EXPECT_FALSE(r.text(text));
    EXPECT_EQ(text, u"keep");
    Bytes bytes = {1};
    EXPECT_FALSE(r.bytes(bytes));
    EXPECT_EQ(bytes, Bytes{1});
    // A count near 2^32 must not wrap the bound check.
    const Bytes huge = {0xFF, 0xFF, 0xFF, 0xFF, 1, 2};
    inkclient::wire::Reader h(huge.data(), huge.size());
    EXPECT_FALSE(h.bytes(bytes));
    EXPECT_FALSE(inkclient::wire::Reader(huge.data(), huge.size()).text(text));
    uint32_t v = 0;
    EXPECT_TRUE(h.u32(v));
    EXPECT_EQ(v, 0xFFFFFFFFu);
    EXPECT_FALSE(h.u32(v));
}

TEST(AgentWire, ArgsAndReaderRoundTrip) {
    inkclient::wire::Args args;
    args.u32(0x01020304).text(u"\u00e9x").bytes(Bytes{9, 8});
    EXPECT_EQ(args.payload(), (Bytes{4, 3, 2, 1, 2, 0, 0, 0, 0xE9, 0, 'x', 0, 2, 0, 0, 0, 9, 8}));
    inkclient::wire::Reader r(args.payload().data(), args.payload().size());
    uint32_t v = 0;
    std::u16string t;
    Bytes b;
    ASSERT_TRUE(r.u32(v) && r.text(t) && r.bytes(b));
    EXPECT_EQ(v, 0x01020304u);
    EXPECT_EQ(t, u"\u00e9x");
    EXPECT_EQ(b, (Bytes{9, 8}));
    EXPECT_EQ(r.left(), 0u);

    const Bytes call = inkclient::wire::make_call(0x1234507, args.payload());
    EXPECT_EQ(call.size(), INKAGENT_HEADER_SIZE + args.payload().size());
    EXPECT_EQ(inkagent_get_u16(call.data()), INKAGENT_TYPE_CALL);
    EXPECT_EQ(inkagent_get_u16(call.data() + 2), INKAGENT_PACKAGE_VERSION);
    EXPECT_EQ(inkagent_get_u32(call.data() + 4), 0x1234507u);
    EXPECT_EQ(inkagent_get_u32(call.data() + 8), call.size());
    EXPECT_EQ(inkagent_get_u32(call.data() + 12), call.size());
}

TEST(AgentWire, StreamCutsPackagesFromAnySplit) {
    const Bytes a = package(INKAGENT_TYPE_RESULT, 0x105, Bytes{1, 2, 3});
    const Bytes b = package(INKAGENT_TYPE_EVENT, 0x2E0, Bytes(76, 0x5A));
    const Bytes c = package(INKAGENT_TYPE_RESULT, 0x306, {});
    Bytes all = a;
    all.insert(all.end(), b.begin(), b.end());
    all.insert(all.end(), c.begin(), c.end());
    for (size_t piece : {size_t{1}, size_t{7}, size_t{33}, size_t{35}, all.size()}) {
        PackageStream stream;
        std::vector<Package> got;
        for (size_t at = 0; at < all.size(); at += piece) {
            stream.feed(all.data() + at, std::min(piece, all.size() - at));
            Package p;
            PackageStream::Next n;
            while ((n = stream.next(p)) == PackageStream::Next::package)
                got.push_back(p);
            ASSERT_EQ(n, PackageStream::Next::none);
        }
        ASSERT_EQ(got.size(), 3u) << "pieces of " << piece;
        EXPECT_EQ(got[0].message_id, 0x105u);
        EXPECT_EQ(got[0].payload, (Bytes{1, 2, 3}));
        EXPECT_EQ(got[1].type, INKAGENT_TYPE_EVENT);
        EXPECT_EQ(got[1].payload, Bytes(76, 0x5A));
        EXPECT_TRUE(got[2].payload.empty());
        EXPECT_EQ(stream.buffered(), 0u);
    }
}

TEST(AgentWire, StreamRefusesSizesNoBridgeSends) {
    for (uint32_t total : {0u, 33u, INKAGENT_MAX_INBOUND + 1, 0xFFFFFFFFu}) {
        Bytes p = package(INKAGENT_TYPE_RESULT, 1, Bytes(8, 0));
        inkagent_put_u32(p.data() + INKAGENT_OFFSET_TOTAL_SIZE, total);
        PackageStream stream;
        stream.feed(p.data(), p.size());
        Package out;
        EXPECT_EQ(stream.next(out), PackageStream::Next::broken) << total;
    }
}

TEST(SspRequests, VariableSetCutsNameAndValueAndFramesTheRecord) {
    const std::string name(45, 'n');
    const std::string value = "0123456789abcdefghijKLMNO";  // 25 characters
    const Bytes m = inkctl::variable_set_request(2, name, value);
    ASSERT_EQ(m.size(), 4u + 60u);
    EXPECT_EQ(Bytes(m.begin(), m.begin() + 4), (Bytes{0x02, 0x3C, 0x00, 0x14}));
    EXPECT_EQ(std::string(m.begin() + 4, m.begin() + 44), std::string(40, 'n'));
    EXPECT_EQ(std::string(m.begin() + 44, m.end()), value.substr(0, 20));

    const Bytes s = inkctl::variable_set_request(1, "ql.x", "7");
    EXPECT_EQ(s[4], 'q');
    EXPECT_EQ(s[7], 'x');
    EXPECT_EQ(Bytes(s.begin() + 8, s.begin() + 44), Bytes(36, 0));
    EXPECT_EQ(s[44], '7');
    EXPECT_EQ(Bytes(s.begin() + 45, s.end()), Bytes(19, 0));

    EXPECT_EQ(inkctl::conf_state_request(5), (Bytes{0x05, 0x00, 0x00, 0x10}));
    EXPECT_EQ(inkctl::component_list_request(), (Bytes{0x00, 0x00, 0x00, 0x10}));
}

TEST(SspRequests, RepliesAreCheckedBeforeTheyAreBelieved) {
    std::vector<uint8_t> types;
    std::string why;
    // 00, length 5 (6 payload bytes): 10 01, count 3, types 1 11 3
    ASSERT_TRUE(inkctl::parse_component_list(Bytes{0, 5, 0, 0x10, 1, 3, 1, 11, 3}, types, why));
    EXPECT_EQ(types, (std::vector<uint8_t>{1, 11, 3}));
    // A count larger than the bytes that came keeps only those.
    ASSERT_TRUE(inkctl::parse_component_list(Bytes{0, 4, 0, 0x10, 1, 9, 1, 11}, types, why));
    EXPECT_EQ(types, (std::vector<uint8_t>{1, 11}));
    EXPECT_FALSE(inkctl::parse_component_list(Bytes{0x81, 0x10}, types, why));
    EXPECT_FALSE(inkctl::parse_component_list(Bytes{0, 2, 0, 0x10, 1, 0x80}, types, why));
    EXPECT_FALSE(inkctl::parse_component_list(Bytes{0, 2, 0, 0x10, 0, 1}, types, why));
    EXPECT_EQ(why, "protocol result 0");

    int32_t state = 0;
    ASSERT_TRUE(
        inkctl::parse_conf_state(Bytes{2, 5, 0, 0x10, 1, 0xFC, 0xFF, 0xFF, 0xFF}, 2, state, why));
    EXPECT_EQ(state, -4);
    EXPECT_FALSE(inkctl::parse_conf_state(Bytes{2, 5, 0, 0x10, 1, 4, 0, 0, 0}, 3, state, why));
    EXPECT_FALSE(inkctl::parse_conf_state(Bytes{2, 3, 0, 0x10, 1, 4, 0}, 2, state, why));
    EXPECT_EQ(why, "reply cut short");

    uint8_t result = 0;
    ASSERT_TRUE(inkctl::parse_variable_set(Bytes{2, 1, 0, 0x14, 1}, 2, result, why));
    EXPECT_EQ(result, 1);
    EXPECT_FALSE(inkctl::parse_variable_set(Bytes{2, 1, 0, 0x14, 3}, 2, result, why));
    EXPECT_EQ(result, 3);
    EXPECT_FALSE(inkctl::parse_variable_set(Bytes{2, 1, 0, 0x17, 1}, 2, result, why));
}
