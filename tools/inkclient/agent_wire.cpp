#include "agent_wire.h"

#include <inkagent/protocol.h>

namespace inkclient::wire {

Args &Args::u32(uint32_t value) {
    uint8_t le[4];
    inkagent_put_u32(le, value);
    payload_.insert(payload_.end(), le, le + 4);
    return *this;
}

Args &Args::bytes(const uint8_t *data, size_t size) {
    u32(static_cast<uint32_t>(size));
    payload_.insert(payload_.end(), data, data + size);
    return *this;
}

Args &Args::text(const std::u16string &text) {
    u32(static_cast<uint32_t>(text.size()));
    for (char16_t unit : text) {
        payload_.push_back(static_cast<uint8_t>(unit));
        payload_.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return *this;
}

Bytes make_call(uint32_t message_id, const Bytes &payload) {
    Bytes package(INKAGENT_HEADER_SIZE + payload.size());
    inkagent_put_header(package.data(), INKAGENT_TYPE_CALL, message_id,
                        static_cast<uint32_t>(package.size()));
    std::copy(payload.begin(), payload.end(), package.begin() + INKAGENT_HEADER_SIZE);
    return package;
}

bool Reader::u32(uint32_t &value) {
    if (left() < 4)
        return false;
    value = inkagent_get_u32(data_ + at_);
    at_ += 4;
    return true;
}

bool Reader::bytes(Bytes &out) {
    if (left() < 4)
        return false;
    const uint32_t count = inkagent_get_u32(data_ + at_);
    if (left() - 4 < count)
        return false;
    out.assign(data_ + at_ + 4, data_ + at_ + 4 + count);
    at_ += 4 + count;
    return true;
}

bool Reader::text(std::u16string &out) {
    if (left() < 4)
        return false;
    const uint32_t count = inkagent_get_u32(data_ + at_);
    if ((left() - 4) / 2 < count)
        return false;
    std::u16string units(count, u'\0');
    for (uint32_t i = 0; i < count; ++i)
        units[i] = static_cast<char16_t>(inkagent_get_u16(data_ + at_ + 4 + 2 * i));
    out.swap(units);
    at_ += 4 + 2 * static_cast<size_t>(count);
    return true;
}

void PackageStream::feed(const uint8_t *data, size_t size) {
    // Drop what was consumed before growing, so the buffer stays about one
    // package long however long the stream runs.
    if (start_ > 0 && start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    } else if (start_ > 4096) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<ptrdiff_t>(start_));
        start_ = 0;
    }
    buffer_.insert(buffer_.end(), data, data + size);
}

PackageStream::Next PackageStream::next(Package &out) {
    if (buffered() < INKAGENT_HEADER_SIZE)
        return Next::none;
    const uint8_t *head = buffer_.data() + start_;
    const uint32_t total = inkagent_get_u32(head + INKAGENT_OFFSET_TOTAL_SIZE);
    // The bridge sends at most INKAGENT_MAX_OUTBOUND bytes; allow up to its
    // buffer size, refuse what no bridge can have framed.
    if (total < INKAGENT_HEADER_SIZE || total > INKAGENT_MAX_INBOUND)
        return Next::broken;
    if (buffered() < total)
        return Next::none;
    out.type = inkagent_get_u16(head + INKAGENT_OFFSET_TYPE);
    out.message_id = inkagent_get_u32(head + INKAGENT_OFFSET_MESSAGE_ID);
    out.payload.assign(head + INKAGENT_HEADER_SIZE, head + total);
    start_ += total;
    return Next::package;
}

}  // namespace inkclient::wire
