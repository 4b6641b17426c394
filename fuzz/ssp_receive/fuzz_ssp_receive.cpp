// Feeds bytes, as a pad could send them, through the whole receive of the
// SSP exchange: read passes, decoding, sorting into the two queues,
// continuation reads of cut messages and tokens, and delivery.
//
// Input: byte 0 holds flags, byte 1 the read size, bytes 2-3 the caller's
// capacity; the rest is what the pad sends.
//   flag 0x01  well-formed: the rest describes messages (see build_stream)
//              that are framed the way a pad frames them; every one must
//              then arrive exactly, in order, in its own queue.
//   flag 0x02  VCOM-like reads (whole 64-byte packets, up to 4 KiB) instead
//              of HID answers (1..62 bytes, the last one zero-filled).
//   flag 0x04  input mode; flag 0x08 request mode (raw bytes only).
//   flag 0x10  the pad never falls silent: it sends its bytes over and over
//              (raw bytes only).
// Raw bytes may be anything; the sanitizers watch every buffer, and queued
// and delivered messages must be sized by their own headers. Time is counted
// in reads: every receive must end by its time-out whatever the pad sends,
// so an input that keeps one receive going is a finding of libFuzzer's
// per-input -timeout.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core_ssp.h"
#include "ssp_base_message.h"
#include "uni_queue.h"

namespace {

using Bytes = std::vector<uint8_t>;

void check(bool ok) {
    if (!ok)
        abort();
}

class FuzzLink final : public SspLink {
  public:
    FuzzLink(const Bytes &stream, size_t chunk, bool vcom, bool endless)
        : stream_(stream), chunk_(chunk), vcom_(vcom), endless_(endless) {}

    int read(uint8_t *buffer, unsigned int size, bool) override {
        check(size >= read_size());
        ++reads_;
        if (endless_ && off_ >= stream_.size())
            off_ = 0;
        if (off_ >= stream_.size())
            return -1;
        size_t n = chunk_ < size ? chunk_ : size;
        if (vcom_)
            n -= n % 64;
        size_t left = stream_.size() - off_;
        size_t take = n < left ? n : left;
        memcpy(buffer, stream_.data() + off_, take);
        off_ += take;
        // A HID pad fills its answer up with zeros.
        if (!vcom_ && take < n)
            memset(buffer + take, 0, n - take);
        return static_cast<int>(vcom_ ? take : n);
    }
    unsigned int read_size() const override { return vcom_ ? 64 : 62; }
    double elapsed_ms() const override { return static_cast<double>(reads_ - call_start_); }
    void pause_after_noise() override {}

    // A receive begins: its time-out counts from here.
    void begin_call() { call_start_ = reads_; }
    bool exhausted() const { return !endless_ && off_ >= stream_.size(); }

  private:
    const Bytes &stream_;
    size_t chunk_;
    bool vcom_;
    bool endless_;
    size_t off_ = 0;
    uint64_t reads_ = 0;
    uint64_t call_start_ = 0;
};

Bytes encode(const Bytes &m) {
    Bytes t{0xAA, 0x55, 0x02};
    for (size_t i = 0; i < m.size(); ++i) {
        t.push_back(m[i]);
        if (m[i] == 0xAA && i + 1 < m.size() && m[i + 1] == 0x55) {
            t.push_back(0x55);
            t.push_back(0x00);
            ++i;
        }
    }
    return t;
}

// Messages from description bytes: an old message takes its length from its
// first byte; a base message from the next byte (times 10 when bit 6 of the
// first is set, so that messages several reads long occur). Missing bytes
// read as 0xAA, the byte most likely to start a token.
void build_stream(const uint8_t *p, size_t n, Bytes *stream, std::vector<Bytes> *replies,
                  std::vector<Bytes> *biodata) {
    size_t i = 0;
    auto next = [&] { return i < n ? p[i++] : uint8_t{0xAA}; };
    while (i < n) {
        uint8_t first = next();
        Bytes m{first};
        size_t data;
        if (first & 0x80) {
            data = (first & 0x3F) + 1u;
        } else {
            uint8_t l = next();
            data = (first & 0x40) ? l * 10u + 1 : l + 1u;
            m.push_back(static_cast<uint8_t>((data - 1) & 0xFF));
            m.push_back(static_cast<uint8_t>((data - 1) >> 8));
        }
        for (size_t k = 0; k < data; ++k)
            m.push_back(next());
        Bytes t = encode(m);
        stream->insert(stream->end(), t.begin(), t.end());
        ((first & 0xC0) == 0xC0 ? biodata : replies)->push_back(std::move(m));
    }
}

std::vector<Bytes> drain(uni_queue *q) {
    std::vector<Bytes> out;
    uint32_t length = 0;
    while (void *f = get_uni_frame(q, &length)) {
        out.emplace_back(static_cast<uint8_t *>(f), static_cast<uint8_t *>(f) + length);
        free(f);
    }
    return out;
}

// A queued frame is one whole message at the size its header gives.
void check_sized(const Bytes &frame) {
    ssp_message_sizes s{};
    check(ssp_message_sizes_of(frame.data(), frame.size(), &s));
    check(s.full == frame.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4)
        return 0;
    const uint8_t flags = data[0];
    const bool well_formed = flags & 0x01;
    const bool vcom = flags & 0x02;
    const bool input_mode = !well_formed && (flags & 0x04);
    const bool request = !well_formed && (flags & 0x08);
    const bool endless = !well_formed && (flags & 0x10) && size > 4;
    // A finite stream ends every receive by itself; an endless one only
    // the time-out can end.
    const unsigned int time_out = endless ? 300 : 1000000;
    const int calls = endless ? 4 : 100000;
    const size_t chunk = vcom ? 64u * (1 + data[1] % 64) : 1u + data[1] % 62;
    const unsigned int capacity = well_formed ? 70000u : 1u + (data[2] | (data[3] << 8));

    Bytes stream;
    std::vector<Bytes> replies, biodata;
    if (well_formed)
        build_stream(data + 4, size - 4, &stream, &replies, &biodata);
    else
        stream.assign(data + 4, data + size);

    FuzzLink link(stream, chunk, vcom, endless);
    uni_queue *input = init_uni_queue();
    uni_queue *commands = init_uni_queue();
    std::vector<Bytes> delivered;
    for (int call = 0; call < calls; ++call) {
        auto *buffer =
            static_cast<uint8_t *>(malloc(capacity));  // exact size: an overrun is a finding
        unsigned int len = capacity;
        link.begin_call();
        int r = ssp_receive_messages(link, input, commands, buffer, &len, time_out, request,
                                     input_mode);
        if (r == 0) {
            check(len >= 1 && len <= capacity);
            Bytes got(buffer, buffer + len);
            ssp_message_sizes s{};
            if (ssp_message_sizes_of(got.data(), got.size(), &s))
                check(len == s.full || (len == capacity && s.full > capacity));
            delivered.push_back(std::move(got));
        } else {
            check(len == capacity);
        }
        free(buffer);
        if (r != 0 && link.exhausted())
            break;
    }

    std::vector<Bytes> queued_replies = drain(commands);
    std::vector<Bytes> queued_biodata = drain(input);
    for (const Bytes &f : queued_replies) {
        check_sized(f);
        check((f[0] & 0xC0) != 0xC0);
    }
    for (const Bytes &f : queued_biodata) {
        check_sized(f);
        check((f[0] & 0xC0) == 0xC0);
    }
    if (well_formed) {
        // Replies were delivered one per call, then the rest stayed queued.
        delivered.insert(delivered.end(), queued_replies.begin(), queued_replies.end());
        check(delivered == replies);
        check(queued_biodata == biodata);
    }
    destroy_uni_queue(input);
    destroy_uni_queue(commands);
    return 0;
}
