// The pad's own SSP message and transport-token codec. It is deliberately
// separate from the library's: the bench checks the library against it.
// Pure functions and one streaming decoder, no I/O, no locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "firmware.h"

namespace padsim::ssp {

inline constexpr uint8_t kTokenByte0 = 0xAA;
inline constexpr uint8_t kTokenByte1 = 0x55;
inline constexpr uint8_t kTokenSof = 0x02;
inline constexpr uint8_t kTokenEscape = 0x00;
inline constexpr size_t kTokenSize = 3;
inline constexpr size_t kBaseHeaderSize = 3;

// Little-endian fields on unaligned bytes.
inline void put_le16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put_le32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}
inline uint16_t get_le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t get_le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void append_le32(Bytes &out, uint32_t v) {
    uint8_t b[4];
    put_le32(b, v);
    out.insert(out.end(), b, b + 4);
}

inline bool is_old(uint8_t first) {
    return (first & 0x80) != 0;
}
inline bool is_biodata(uint8_t first) {
    return (first & 0xC0) == 0xC0;
}

// Full size of the message that starts at `msg`, from its header; nullopt
// while fewer bytes than the header are known.
std::optional<size_t> full_size(const uint8_t *msg, size_t have);

// Base message: component id, 16-bit (payload length - 1), payload.
// An empty payload is not a message; the caller passes at least one byte.
Bytes make_base(uint8_t component, const Bytes &payload);
// Legacy message of 1..64 payload bytes; nullopt outside that range.
std::optional<Bytes> make_old(const uint8_t *data, size_t len, bool biodata);

// Transport-token data of one message: SOF, then the message with every
// byte pair AA 55 written as AA 55 00. A lone AA at the very end stays as it
// is: the receiver tells it from a token by the message length.
Bytes encode_tokens(const uint8_t *msg, size_t len);
inline Bytes encode_tokens(const Bytes &msg) {
    return encode_tokens(msg.data(), msg.size());
}

// Cuts a token stream into messages as it arrives, in pieces of any size.
// Tokens may be split between pieces. A message ends at the next SOF, at
// finish(), or - when `cut_at_declared_size` is set - as soon as it holds the
// size its header announces; bytes after that and before the next SOF are
// counted as stray.
class TokenDecoder {
  public:
    struct Frame {
        Bytes bytes;
        // The frame holds at least the size its header announces.
        bool complete = false;
    };

    explicit TokenDecoder(bool cut_at_declared_size) : cut_(cut_at_declared_size) {}

    void feed(const uint8_t *data, size_t len, std::vector<Frame> &out);
    void feed(const Bytes &data, std::vector<Frame> &out) { feed(data.data(), data.size(), out); }
    // End of data: held-back token bytes become data, the open frame is
    // handed out. The decoder then starts over as if new.
    void finish(std::vector<Frame> &out);

    bool sof_seen() const { return sof_seen_; }
    size_t stray_bytes() const { return stray_; }

  private:
    void take_byte(uint8_t b, std::vector<Frame> &out);
    void data_byte(uint8_t b, std::vector<Frame> &out);
    void emit(std::vector<Frame> &out);
    // Bytes the open message still needs; 2 or more when not yet known.
    size_t still_needed() const;

    bool cut_;
    bool sof_seen_ = false;
    bool in_message_ = false;
    Bytes cur_;
    uint8_t held_[2] = {0, 0};
    size_t nheld_ = 0;
    size_t stray_ = 0;
};

// The whole-buffer view used by the codec tests: every frame of `data` as
// the stream decoder without size cuts gives it, or nullopt without a SOF.
std::optional<std::vector<Bytes>> decode_tokens(const Bytes &data);

}  // namespace padsim::ssp
