// Little-endian fields of wire bytes, read and written through a cursor that
// never leaves the span it was given: a field that does not lie wholly
// inside it is refused, whatever the bytes claim. Fields may sit at any
// alignment; nothing casts a byte pointer to a wider type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Reads untrusted bytes front to back. A refused read moves nothing and
// leaves its output untouched.
class ByteReader {
  public:
    ByteReader(const void *data, size_t size)
        : data_(static_cast<const uint8_t *>(data)), size_(size) {}

    size_t position() const { return position_; }
    size_t remaining() const { return size_ - position_; }

    // Moves to `offset` from the start; false beyond the end.
    bool seek(size_t offset) {
        if (offset > size_)
            return false;
        position_ = offset;
        return true;
    }
    bool skip(size_t count) { return count <= remaining() && seek(position_ + count); }

    bool bytes(void *out, size_t count) {
        if (count > remaining())
            return false;
        memcpy(out, data_ + position_, count);
        position_ += count;
        return true;
    }
    bool u8(uint8_t *out) { return bytes(out, 1); }
    bool le16(uint16_t *out) {
        uint8_t b[2];
        if (!bytes(b, sizeof b))
            return false;
        *out = static_cast<uint16_t>(b[0] | (b[1] << 8));
        return true;
    }
    bool le32(uint32_t *out) {
        uint8_t b[4];
        if (!bytes(b, sizeof b))
            return false;
        *out = static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
               (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
        return true;
    }
    // The field at `offset` from the start; the cursor ends behind it.
    bool le16_at(size_t offset, uint16_t *out) { return seek(offset) && le16(out); }
    bool le32_at(size_t offset, uint32_t *out) { return seek(offset) && le32(out); }

  private:
    const uint8_t *data_;
    size_t size_;
    size_t position_ = 0;
};

// Writes fields front to back into a buffer of known size. A write that
// would not fit writes nothing, and every later one is refused too, so a
// sequence of writes can be checked once at its end with ok().
class ByteWriter {
  public:
    ByteWriter(void *data, size_t size) : data_(static_cast<uint8_t *>(data)), size_(size) {}

    bool ok() const { return ok_; }
    size_t position() const { return position_; }

    ByteWriter &bytes(const void *in, size_t count) {
        if (!ok_ || count > size_ - position_) {
            ok_ = false;
            return *this;
        }
        memcpy(data_ + position_, in, count);
        position_ += count;
        return *this;
    }
    ByteWriter &u8(uint8_t value) { return bytes(&value, 1); }
    ByteWriter &le16(uint16_t value) {
        const uint8_t b[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
        return bytes(b, sizeof b);
    }
    ByteWriter &le32(uint32_t value) {
        const uint8_t b[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
        return bytes(b, sizeof b);
    }

  private:
    uint8_t *data_;
    size_t size_;
    size_t position_ = 0;
    bool ok_ = true;
};
