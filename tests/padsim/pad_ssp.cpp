#include "pad_ssp.h"

#include <algorithm>

#include "pad_wire.h"

namespace padsim::ssp {

std::optional<size_t> full_size(const uint8_t *msg, size_t have) {
    if (have == 0) {
        return std::nullopt;
    }
    if (is_old(msg[0])) {
        return static_cast<size_t>(msg[0] & wire::kOldLengthMask) + 2;
    }
    if (have < kBaseHeaderSize) {
        return std::nullopt;
    }
    return static_cast<size_t>(get_le16(msg + 1)) + 1 + kBaseHeaderSize;
}

Bytes make_base(uint8_t component, const Bytes &payload) {
    Bytes msg(kBaseHeaderSize + payload.size());
    msg[0] = component & 0x7F;
    put_le16(&msg[1], static_cast<uint16_t>(payload.empty() ? 0 : payload.size() - 1));
    std::copy(payload.begin(), payload.end(), msg.begin() + kBaseHeaderSize);
    return msg;
}

std::optional<Bytes> make_old(const uint8_t *data, size_t len, bool biodata) {
    if (data == nullptr || len == 0 || len > wire::kOldMaxData) {
        return std::nullopt;
    }
    Bytes msg;
    msg.reserve(len + 1);
    msg.push_back(
        static_cast<uint8_t>(wire::kOldFlag | (biodata ? wire::kBiodataFlag : 0) | (len - 1)));
    msg.insert(msg.end(), data, data + len);
    return msg;
}

Bytes encode_tokens(const uint8_t *msg, size_t len) {
    Bytes out{kTokenByte0, kTokenByte1, kTokenSof};
    out.reserve(len + len / 8 + kTokenSize);
    for (size_t p = 0; p < len;) {
        if (p + 1 < len && msg[p] == kTokenByte0 && msg[p + 1] == kTokenByte1) {
            out.insert(out.end(), {kTokenByte0, kTokenByte1, kTokenEscape});
            p += 2;
        } else {
            out.push_back(msg[p]);
            p += 1;
        }
    }
    return out;
}

size_t TokenDecoder::still_needed() const {
    std::optional<size_t> want = full_size(cur_.data(), cur_.size());
    if (!want) {
        return 2;
    }
    return *want > cur_.size() ? *want - cur_.size() : 0;
}

void TokenDecoder::emit(std::vector<Frame> &out) {
    if (!cur_.empty()) {
        std::optional<size_t> want = full_size(cur_.data(), cur_.size());
        bool complete = want && cur_.size() >= *want;
        out.push_back(Frame{std::move(cur_), complete});
    }
    cur_.clear();
}

void TokenDecoder::data_byte(uint8_t b, std::vector<Frame> &out) {
    if (!in_message_) {
        ++stray_;
        return;
    }
    cur_.push_back(b);
    if (cut_ && still_needed() == 0) {
        emit(out);
        in_message_ = false;
    }
}

void TokenDecoder::take_byte(uint8_t b, std::vector<Frame> &out) {
    if (nheld_ == 0) {
        // A message one byte short of its size ends with a plain AA: the
        // sender never escapes a last byte.
        if (b == kTokenByte0 && !(cut_ && in_message_ && still_needed() == 1)) {
            held_[nheld_++] = b;
        } else {
            data_byte(b, out);
        }
        return;
    }
    if (nheld_ == 1) {
        if (b == kTokenByte1) {
            held_[nheld_++] = b;
            return;
        }
        nheld_ = 0;
        data_byte(kTokenByte0, out);
        take_byte(b, out);
        return;
    }
    nheld_ = 0;
    if (b == kTokenSof) {
        sof_seen_ = true;
        if (in_message_) {
            emit(out);
        }
        in_message_ = true;
        return;
    }
    if (b == kTokenEscape) {
        data_byte(kTokenByte0, out);
        data_byte(kTokenByte1, out);
        return;
    }
    // AA 55 with another type byte is no token: AA is data and decoding
    // goes on at the 55.
    data_byte(kTokenByte0, out);
    data_byte(kTokenByte1, out);
    take_byte(b, out);
}

void TokenDecoder::feed(const uint8_t *data, size_t len, std::vector<Frame> &out) {
    for (size_t i = 0; i < len; ++i) {
        take_byte(data[i], out);
    }
}

void TokenDecoder::finish(std::vector<Frame> &out) {
    for (size_t i = 0; i < nheld_; ++i) {
        data_byte(held_[i], out);
    }
    nheld_ = 0;
    if (in_message_) {
        emit(out);
    }
    in_message_ = false;
    sof_seen_ = false;
    stray_ = 0;
}

std::optional<std::vector<Bytes>> decode_tokens(const Bytes &data) {
    TokenDecoder dec(false);
    std::vector<TokenDecoder::Frame> frames;
    dec.feed(data, frames);
    bool sof = dec.sof_seen();
    dec.finish(frames);
    if (!sof) {
        return std::nullopt;
    }
    std::vector<Bytes> out;
    out.reserve(frames.size());
    for (auto &f : frames) {
        out.push_back(std::move(f.bytes));
    }
    return out;
}

}  // namespace padsim::ssp
