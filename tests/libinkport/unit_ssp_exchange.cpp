// The receive of the SSP exchange without a pad: scripted reads go through
// decoding, sorting into the two queues, continuation reads and delivery.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <thread>
#include <vector>

#include "core.h"
#include "core_table.h"
#include "core_ssp.h"
#include "hid.h"
#include "uni_queue.h"
#include "vcom.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr unsigned int kHidRead = 62;

Bytes base_message(uint8_t component, const Bytes &payload) {
    Bytes m{component, static_cast<uint8_t>((payload.size() - 1) & 0xFF),
            static_cast<uint8_t>((payload.size() - 1) >> 8)};
    m.insert(m.end(), payload.begin(), payload.end());
    return m;
}

Bytes old_message(const Bytes &payload, bool biodata) {
    Bytes m{static_cast<uint8_t>(0x80 | (biodata ? 0x40 : 0) | (payload.size() - 1))};
    m.insert(m.end(), payload.begin(), payload.end());
    return m;
}

// The pad's side of the framing, written out here so that the receive is
// checked against an encoder of its own.
Bytes tokens(const Bytes &message) {
    Bytes t{0xAA, 0x55, 0x02};
    for (size_t i = 0; i < message.size(); ++i) {
        t.push_back(message[i]);
        if (message[i] == 0xAA && i + 1 < message.size() && message[i + 1] == 0x55) {
            t.push_back(0x55);
            t.push_back(0x00);
            ++i;
        }
    }
    return t;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A stream as a pad hands it out: reads of `chunk` bytes, the last one
// filled up with zeros as a pad fills its answer.
std::deque<Bytes> reads_of(const Bytes &stream, size_t chunk) {
    std::deque<Bytes> reads;
    for (size_t off = 0; off < stream.size(); off += chunk) {
        Bytes r(stream.begin() + static_cast<long>(off),
                stream.begin() + static_cast<long>(std::min(stream.size(), off + chunk)));
        r.resize(chunk, 0);
        reads.push_back(std::move(r));
    }
    return reads;
}

class ScriptLink final : public SspLink {
  public:
    explicit ScriptLink(std::deque<Bytes> reads = {}) : reads_(std::move(reads)) {}

    struct Call {
        bool fresh;
        unsigned int room;
    };

    int read(uint8_t *buffer, unsigned int size, bool fresh) override {
        calls.push_back({fresh, size});
        EXPECT_GE(size, read_size()) << "a read was given less room than a whole answer";
        now_ += 1.0;
        if (calls.size() > 100000) {
            ADD_FAILURE() << "the receive does not stop reading";
            return -1;
        }
        if (reads_.empty() && !repeat_.empty()) {
            memcpy(buffer, repeat_.data(), std::min<size_t>(size, repeat_.size()));
            return static_cast<int>(std::min<size_t>(size, repeat_.size()));
        }
        if (reads_.empty()) {
            if (noise_forever) {
                memset(buffer, 0x11, std::min(size, 10u));
                return static_cast<int>(std::min(size, 10u));
            }
            return fresh ? fresh_failure : -1;
        }
        Bytes r = std::move(reads_.front());
        reads_.pop_front();
        if (r.empty())
            return -1;  // a read that fails
        if (r.size() > size) {
            ADD_FAILURE() << "script read of " << r.size() << " bytes into " << size;
            r.resize(size);
        }
        memcpy(buffer, r.data(), r.size());
        return static_cast<int>(r.size());
    }
    unsigned int read_size() const override { return kHidRead; }
    double elapsed_ms() const override { return now_; }
    void pause_after_noise() override { ++pauses; }

    std::vector<Call> calls;
    int pauses = 0;
    bool noise_forever = false;
    // Once the script is used up, every read returns these bytes.
    void repeat_for_ever(Bytes bytes) { repeat_ = std::move(bytes); }
    int fresh_failure = -1;
    size_t left() const { return reads_.size(); }

  private:
    std::deque<Bytes> reads_;
    Bytes repeat_;
    double now_ = 0;
};

struct Queues {
    uni_queue *input = init_uni_queue();
    uni_queue *commands = init_uni_queue();
    ~Queues() {
        destroy_uni_queue(input);
        destroy_uni_queue(commands);
    }
    Queues() = default;
    Queues(const Queues &) = delete;
    Queues &operator=(const Queues &) = delete;
};

struct Received {
    int result;
    Bytes message;
};

Received receive(SspLink &link, Queues &q, bool input_mode = false, bool request = false,
                 unsigned int capacity = 70000, unsigned int time_out = 1000) {
    Bytes buffer(capacity, 0xEE);
    unsigned int len = capacity;
    int r = ssp_receive_messages(link, q.input, q.commands, buffer.data(), &len, time_out, request,
                                 input_mode);
    if (r != 0)
        return {r, {}};
    EXPECT_LE(len, capacity);
    buffer.resize(len);
    return {r, buffer};
}

// The frames a queue holds, oldest first, as they were stored (taken out).
std::vector<Bytes> drain(uni_queue *queue) {
    std::vector<Bytes> frames;
    uint32_t length = 0;
    while (void *f = get_uni_frame(queue, &length)) {
        frames.emplace_back(static_cast<uint8_t *>(f), static_cast<uint8_t *>(f) + length);
        free(f);
    }
    return frames;
}

Bytes filled(size_t n, uint8_t seed) {
    Bytes p(n);
    for (size_t i = 0; i < n; ++i)
        p[i] = static_cast<uint8_t>(seed + i * 7);
    return p;
}

const Bytes kSof{0xAA, 0x55, 0x02};

}  // namespace

TEST(SspReceive, IncompleteMessageInsideAReadIsDropped) {
    Bytes overstated{0x01, 0x09, 0x00, 0x10, 0x01};  // announces 10 payload bytes, carries 2
    Bytes b = base_message(2, {0x20, 0x01});
    ScriptLink link({cat({tokens(overstated), tokens(b)})});
    Queues q;
    Received got = receive(link, q);
    ASSERT_EQ(got.result, 0);
    EXPECT_EQ(got.message, b);
    EXPECT_TRUE(drain(q.commands).empty());
}

// A token cut by the read boundary right after a complete message: its first
// bytes wait in front of the next read, so the SOF behind them is seen.
TEST(SspReceive, TokenStartCutAfterACompleteMessageIsCarriedIntoTheNextRead) {
    Bytes a = base_message(1, filled(20, 3));
    Bytes b = base_message(2, filled(9, 5));
    for (size_t cut : {1u, 2u}) {
        SCOPED_TRACE(cut);
        Bytes first = tokens(a), second = tokens(b);
        first.insert(first.end(), second.begin(), second.begin() + static_cast<long>(cut));
        second.erase(second.begin(), second.begin() + static_cast<long>(cut));
        ScriptLink link({first, second});
        Queues q;
        Received got = receive(link, q);
        ASSERT_EQ(got.result, 0);
        EXPECT_EQ(got.message, a);
        EXPECT_EQ(drain(q.commands), std::vector<Bytes>{b});
        ASSERT_EQ(link.calls.size(), 2u);
        EXPECT_FALSE(link.calls[1].fresh);
    }
}

// The read ends inside an escape (AA 55 | 00 or AA | 55 00) of a message
// that continues in the next read. Each position of the escape against each
// read size puts the cut everywhere; the message must arrive as sent.
TEST(SspReceive, EscapeCutByTheReadBoundaryAtEveryOffsetKeepsTheMessageExact) {
    for (size_t chunk : {62u, 61u, 17u, 4u, 1u}) {
        for (size_t at = 0; at + 1 < 150; ++at) {
            Bytes payload = filled(150, 9);
            for (auto &b : payload)
                if (b == 0xAA || b == 0x55)
                    b = 0x11;
            payload[at] = 0xAA;
            payload[at + 1] = 0x55;
            Bytes m = base_message(4, payload);
            ScriptLink link(reads_of(tokens(m), chunk));
            Queues q;
            Received got = receive(link, q);
            ASSERT_EQ(got.result, 0) << "chunk " << chunk << " escape at " << at;
            ASSERT_EQ(got.message, m) << "chunk " << chunk << " escape at " << at;
        }
    }
}

TEST(SspReceive, RandomMessagesFullOfTokenBytesArriveExactlyWhateverTheReadSize) {
    std::mt19937 rng(20240611);
    const uint8_t alphabet[] = {0xAA, 0x55, 0x00, 0x02, 0xC3};
    for (int round = 0; round < 400; ++round) {
        size_t n = 1 + rng() % 300;
        Bytes payload(n);
        for (auto &b : payload)
            b = alphabet[rng() % sizeof alphabet];
        Bytes m =
            rng() % 4 == 0 && n <= 64 ? old_message(payload, false) : base_message(5, payload);
        Bytes next = base_message(6, {0xAA, 0x55, 0xAA});
        size_t chunk = 1 + rng() % kHidRead;
        ScriptLink link(reads_of(cat({tokens(m), tokens(next)}), chunk));
        Queues q;
        Received got = receive(link, q);
        ASSERT_EQ(got.result, 0) << "round " << round << " chunk " << chunk;
        ASSERT_EQ(got.message, m) << "round " << round << " chunk " << chunk;
        // The next message is queued, or not read yet when it starts a
        // read of its own; it is never corrupted.
        for (const Bytes &f : drain(q.commands))
            EXPECT_EQ(f, next) << "round " << round;
    }
}

TEST(SspReceive, FrameShorterThanItsHeaderIsNeverSizedFromBeyondIt) {
    // In the middle of a read: dropped.
    Bytes b = base_message(2, {0x30});
    {
        ScriptLink link({cat({kSof, {0x05, 0x00}, tokens(b)})});
        Queues q;
        EXPECT_EQ(receive(link, q).message, b);
        EXPECT_TRUE(drain(q.commands).empty());
    }
    // At the end of a read, one or two header bytes in: completed by the next read.
    Bytes m = base_message(5, {0x31, 0x01, 0x02});
    for (size_t have : {1u, 2u}) {
        SCOPED_TRACE(have);
        Bytes t = tokens(m);
        Bytes first(t.begin(), t.begin() + 3 + static_cast<long>(have));
        Bytes second(t.begin() + 3 + static_cast<long>(have), t.end());
        ScriptLink link({first, second});
        Queues q;
        EXPECT_EQ(receive(link, q).message, m);
    }
}

TEST(SspReceive, ReadEndingWithASofCarriesItToTheMessageInTheNextRead) {
    Bytes a = base_message(1, {0x40});
    Bytes b = base_message(2, filled(30, 1));
    const Bytes b_tokens = tokens(b);
    const Bytes b_rest(b_tokens.begin() + 3, b_tokens.end());
    const struct {
        const char *name;
        Bytes first;
        std::vector<Bytes> expect;
    } cases[] = {
        {"message then SOF", cat({tokens(a), kSof}), {a, b}},
        {"nothing but a SOF", kSof, {b}},
        {"noise then SOF", cat({{0x01, 0x02}, kSof}), {b}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ScriptLink link({c.first, b_rest});
        Queues q;
        Received got = receive(link, q);
        ASSERT_EQ(got.result, 0);
        std::vector<Bytes> all{got.message};
        for (Bytes &f : drain(q.commands))
            all.push_back(f);
        EXPECT_EQ(all, c.expect);
        EXPECT_EQ(link.pauses, 0);
    }
}

TEST(SspReceive, MessageTooLongForTheReadBufferFailsWithoutOverrun) {
    // Announces 65536 payload bytes and keeps sending.
    Bytes m = base_message(7, Bytes(65536, 0x33));
    ScriptLink link(reads_of(tokens(m), kHidRead));
    Queues q;
    Received got = receive(link, q);
    EXPECT_EQ(got.result, -1);
    EXPECT_LE(link.calls.size(), kSspReadBufferSize / kHidRead + 1);
    EXPECT_TRUE(drain(q.commands).empty());
}

TEST(SspReceive, BiodataAndRepliesAreKeptApart) {
    Bytes pen1 = old_message({1, 2, 3, 4}, true);
    Bytes pen2 = old_message({5, 6}, true);
    Bytes reply = base_message(2, {0x60, 0x01});
    Bytes legacy = old_message({9}, false);  // an old message without the biodata bit is a reply
    ScriptLink link({cat({tokens(pen1), tokens(reply), tokens(pen2), tokens(legacy)})});
    Queues q;
    EXPECT_EQ(receive(link, q).message, reply);
    EXPECT_EQ(receive(link, q).message, legacy);
    EXPECT_EQ(receive(link, q, true).message, pen1);
    EXPECT_EQ(receive(link, q, true).message, pen2);
    EXPECT_EQ(link.calls.size(), 1u) << "all four came in one read";
}

TEST(SspReceive, OnlyNoiseUntilTheTimeOutGivesMinus7) {
    ScriptLink link;
    link.noise_forever = true;
    Queues q;
    EXPECT_EQ(receive(link, q, false, false, 100, 50).result, -7);
    EXPECT_GE(link.pauses, 1);
    EXPECT_EQ(link.calls.size(), static_cast<size_t>(link.pauses));
}

// A pad whose every read ends with the start of a token keeps the pass
// continuing; the time-out still ends it.
TEST(SspReceive, ReadsThatAlwaysEndWithATokenStartStillTimeOut) {
    {
        ScriptLink link;
        link.repeat_for_ever({0x11, 0x22, 0xAA});
        Queues q;
        EXPECT_EQ(receive(link, q, false, false, 100, 50).result, -7);
    }
    {
        // Messages keep coming with a cut SOF behind them: the first is
        // delivered once the pass ends.
        Bytes m = base_message(1, {0x71, 0x01});
        ScriptLink link;
        link.repeat_for_ever(cat({tokens(m), {0xAA}}));
        Queues q;
        Received got = receive(link, q, false, false, 100, 50);
        ASSERT_EQ(got.result, 0);
        EXPECT_EQ(got.message, m);
    }
}

TEST(SspReceive, FailedFreshReadEndsTheCallWithItsResult) {
    ScriptLink link;
    link.fresh_failure = -4;
    Queues q;
    EXPECT_EQ(receive(link, q).result, -4);
    EXPECT_EQ(link.calls.size(), 1u);
}

TEST(SspReceive, FailedContinuationReadEndsOnlyThePass) {
    Bytes t = tokens(base_message(1, filled(100, 4)));
    Bytes b = base_message(2, {0x70});
    // The continuation of the long message fails; the next pass finds b.
    ScriptLink link({Bytes(t.begin(), t.begin() + 62), {}, tokens(b)});
    Queues q;
    Received got = receive(link, q);
    ASSERT_EQ(got.result, 0);
    EXPECT_EQ(got.message, b);
    ASSERT_EQ(link.calls.size(), 3u);
    EXPECT_FALSE(link.calls[1].fresh);
    EXPECT_TRUE(link.calls[2].fresh);
}

// The input queue is shared with threads that clear it (enable, flush,
// stop); run under ThreadSanitizer with the "threaded" label.
TEST(SspReceiveThreaded, ClearingTheInputQueueWhileAReceiveFillsIt) {
    ASSERT_TRUE(core_initialize());
    ql_device &dev = dev_shared->devices[0];
    dev_shared->current_device = &dev;
    Queues q;
    dev.ssp_input_read = q.input;
    dev.ssp_command_messages = q.commands;

    std::atomic<bool> done{false};
    std::thread clearer([&] {
        while (!done.load())
            core_clear_ssp_input_queue();
    });
    Bytes pen = old_message({1, 2, 3}, true);
    Bytes reply = base_message(2, {0x61, 0x01});
    int delivered = 0;
    for (int i = 0; i < 300; ++i) {
        ScriptLink link({cat({tokens(pen), tokens(pen), tokens(reply), tokens(pen)})});
        Received got = receive(link, q);
        if (got.result == 0 && got.message == reply)
            ++delivered;
        // The input-mode take races with the clearer: either a whole message or none.
        ScriptLink empty;
        Received pen_got = receive(empty, q, true);
        if (pen_got.result == 0) {
            EXPECT_EQ(pen_got.message, pen);
        }
    }
    done = true;
    clearer.join();
    EXPECT_EQ(delivered, 300);
    dev.ssp_input_read = nullptr;
    dev.ssp_command_messages = nullptr;
    core_uninitialize();
}

// Refusals that need no pad: each answers -1 and reaches no transport.
TEST(SspExchangeArguments, RefusedBeforeAnyTransfer) {
    uint8_t data[8] = {1, 0, 0, 0x10};
    unsigned int len = sizeof data;
    unsigned int zero = 0;
    ql_device none{};  // no HID handle, no VCOM handle
    EXPECT_EQ(__send_ssp_message(nullptr, data, 4), -1);
    EXPECT_EQ(__send_ssp_message(&none, data, 0), -1);
    EXPECT_EQ(__send_ssp_message(&none, nullptr, 4), -1);
    EXPECT_EQ(__send_ssp_message(&none, data, 4), -1);
    EXPECT_EQ(__receive_ssp_message(nullptr, data, &len, 10, false, 2), -1);
    EXPECT_EQ(__receive_ssp_message(&none, data, &zero, 10, false, 2), -1);
    EXPECT_EQ(__receive_ssp_message(&none, data, nullptr, 10, false, 2), -1);
    EXPECT_EQ(__receive_ssp_message(&none, data, &len, 10, false, 2), -1);
    EXPECT_EQ(lock_dev_and_send_ssp_message(nullptr, data, 4), -1);
    EXPECT_EQ(lock_dev_and_receive_ssp_message(&none, nullptr, &len, 10, false), -1);
    EXPECT_FALSE(none.removed) << "a record with nothing to reopen is not lost";
    EXPECT_EQ(hid_read_ssp_data(nullptr, data, sizeof data, 10, true), -1);
    EXPECT_EQ(vcom_read_ssp_data(&none, data, sizeof data, 10, true), -1);
    EXPECT_EQ(usb_data_send(nullptr, 0x02, data, 4), -1);
    EXPECT_EQ(usb_data_receive(nullptr, 0x81, data, sizeof data, 10), -1);
}

TEST(SspExchangeArguments, CoreEntryPointsCheckTheInterfaceAndReportALostPad) {
    uint8_t data[8] = {1, 0, 0, 0x10};
    unsigned int len = sizeof data;
    EXPECT_EQ(core_send_ssp_message(0, data, 4), -1) << "no device table";
    ASSERT_TRUE(core_initialize());
    EXPECT_EQ(core_receive_ssp_message(0, data, &len, 10), -1) << "no current device";
    ql_device &dev = dev_shared->devices[0];
    dev_shared->current_device = &dev;
    dev.count_of_interfaces = 2;
    EXPECT_EQ(core_send_ssp_message(0, nullptr, 4), -1);
    EXPECT_EQ(core_send_ssp_message(0, data, 0), -1);
    EXPECT_EQ(core_receive_ssp_message(0, data, nullptr, 10), -1);
    EXPECT_EQ(core_send_ssp_message(3, data, 4), -1);
    EXPECT_EQ(core_send_ssp_message(1, data, 4), -1) << "an extra interface without a transport";
    dev.removed = true;
    EXPECT_EQ(core_send_ssp_message(0, data, 4), kCoreRemoved);
    EXPECT_EQ(core_receive_ssp_message(9, data, &len, 10), kCoreRemoved);
    core_clear_ssp_input_queue();  // no queue yet: nothing to do
    dev_shared->current_device = nullptr;
    dev.removed = false;
    dev.count_of_interfaces = 0;
    core_uninitialize();
}
