#include "pad_pen.h"

#include "pad_ssp.h"

namespace padsim {

Bytes make_pen_report(const PenSample &s, size_t size, bool aa55_filler) {
    if (size < kPenReportMinSize) {
        size = kPenReportMinSize;
    }
    Bytes r(size, 0);
    r[0] = kPenReportTag;
    ssp::put_le32(&r[1], s.seq);
    ssp::put_le16(&r[5], s.x);
    ssp::put_le16(&r[7], s.y);
    ssp::put_le16(&r[9], s.pressure);
    r[11] = s.stroke;
    for (size_t i = 12; i + 1 < size; ++i) {
        r[i] = aa55_filler ? ((i % 2) == 0 ? ssp::kTokenByte0 : ssp::kTokenByte1)
                           : static_cast<uint8_t>(s.seq + i);
    }
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < size; ++i) {
        sum = static_cast<uint8_t>(sum + r[i]);
    }
    r[size - 1] = sum;
    return r;
}

bool parse_pen_report(const uint8_t *data, size_t len, PenSample *out) {
    if (data == nullptr || len < kPenReportMinSize || data[0] != kPenReportTag) {
        return false;
    }
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < len; ++i) {
        sum = static_cast<uint8_t>(sum + data[i]);
    }
    if (sum != data[len - 1]) {
        return false;
    }
    if (out != nullptr) {
        out->seq = ssp::get_le32(data + 1);
        out->x = ssp::get_le16(data + 5);
        out->y = ssp::get_le16(data + 7);
        out->pressure = ssp::get_le16(data + 9);
        out->stroke = data[11];
    }
    return true;
}

}  // namespace padsim
