// The agent protocol as the client sees it: call packages out, result and
// event packages cut from the byte stream, payload fields read through a
// bounds-checked reader. No I/O here, so the codec is tested on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "pad_stack.h"

namespace inkclient::wire {

// Argument payload of a call, in the order of the C API.
class Args {
  public:
    Args &u32(uint32_t value);
    Args &bytes(const uint8_t *data, size_t size);
    Args &bytes(const Bytes &data) { return bytes(data.data(), data.size()); }
    Args &text(const std::u16string &text);
    const Bytes &payload() const { return payload_; }

  private:
    Bytes payload_;
};

// A whole call package: header (type 0, version 10001, sizes) and payload.
Bytes make_call(uint32_t message_id, const Bytes &payload);

// Reads little-endian fields from untrusted bytes; every read checks the
// bytes left and fails (leaving the output untouched) when they do not suffice.
class Reader {
  public:
    Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool u32(uint32_t &value);
    bool bytes(Bytes &out);
    bool text(std::u16string &out);
    size_t left() const { return size_ - at_; }

  private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

struct Package {
    uint16_t type = 0;
    uint32_t message_id = 0;
    Bytes payload;  // the bytes after the header
};

// Collects received bytes and cuts whole packages from them, however the
// stream was split into reads.
class PackageStream {
  public:
    enum class Next {
        none,     // no whole package yet
        package,  // one package taken from the front
        broken,   // a header whose size cannot be: the stream cannot be resynchronised
    };
    void feed(const uint8_t *data, size_t size);
    Next next(Package &out);
    size_t buffered() const { return buffer_.size() - start_; }

  private:
    Bytes buffer_;
    size_t start_ = 0;
};

}  // namespace inkclient::wire
