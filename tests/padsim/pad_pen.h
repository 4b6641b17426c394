// Payload of the emulated pen reports. Real pads send their own sample
// layout; the bench only needs one that a test can check byte for byte
// after it has crossed the USB side and the library: a running sequence
// number, the position, and a checksum over the rest.
#pragma once

#include <cstddef>
#include <cstdint>

#include "firmware.h"

namespace padsim {

struct PenSample {
    uint32_t seq = 0;  // counts every sample the pad generates, sent or not
    uint16_t x = 0;
    uint16_t y = 0;
    uint16_t pressure = 0;
    uint8_t stroke = 0;  // low byte of the stroke's number
};

inline constexpr uint8_t kPenReportTag = 0xA0;
// tag, seq (4), x (2), y (2), pressure (2), stroke, checksum
inline constexpr size_t kPenReportMinSize = 13;

// `size` bytes (at least kPenReportMinSize): the fields above, little-endian,
// filler bytes, and a last byte that is the sum of all others modulo 256.
// With `aa55_filler` the filler is AA 55 AA 55 ..., so that a pad writing it
// into a token stream must escape it.
Bytes make_pen_report(const PenSample &s, size_t size, bool aa55_filler);
// True when `data` is a well-formed pen report; fills `out`.
bool parse_pen_report(const uint8_t *data, size_t len, PenSample *out);

}  // namespace padsim
