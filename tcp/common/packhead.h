// The package header: 34 bytes in front of every package, the same on the
// wire, in the reassembly buffer and in the arrays exchanged with the agent.
// This header does no I/O, so the layout can be tested and fuzzed alone.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "le_bytes.h"

// Headers are read and written in place as they lie in memory; the wire is
// little-endian, and so must the host be.
static_assert(std::endian::native == std::endian::little, "the package header is little-endian");

#pragma pack(push, 1)
struct PackHead {
    uint16_t uType;        // outbound: 1 event, 2 result; inbound: not examined
    uint16_t uVersion;     // outbound: kPackageVersion
    uint32_t ulMessageID;  // the call; its low byte is the function id
    uint32_t ulTotalSize;  // whole package, header included
    uint32_t ulLength;     // outbound: same as ulTotalSize; nobody reads it
    uint16_t uPackageID;   // outbound: 0
    uint8_t reserved1[4];
    uint32_t ulArrivalTime;  // TCP bridge: stamped when an inbound package completes
    uint32_t ulSendTime;     // TCP bridge: stamped when an outbound package is framed
    uint8_t reserved2[4];
};
#pragma pack(pop)

static_assert(sizeof(PackHead) == 34);
static_assert(offsetof(PackHead, uType) == 0);
static_assert(offsetof(PackHead, uVersion) == 2);
static_assert(offsetof(PackHead, ulMessageID) == 4);
static_assert(offsetof(PackHead, ulTotalSize) == 8);
static_assert(offsetof(PackHead, ulLength) == 12);
static_assert(offsetof(PackHead, uPackageID) == 16);
static_assert(offsetof(PackHead, reserved1) == 18);
static_assert(offsetof(PackHead, ulArrivalTime) == 22);
static_assert(offsetof(PackHead, ulSendTime) == 26);
static_assert(offsetof(PackHead, reserved2) == 30);

// "headSize" in the messages.
constexpr int kHeadSize = 34;
// A CPackage's buffer, and what the TCP bridge asks for in one receive.
constexpr int MAX_PACKAGE_TOTAL_SIZE = 2044;
// OverWrite's bound on position plus length: an outbound package, header
// included, has at most MAX_PACKAGE_DATA_SIZE - 1 bytes.
constexpr int MAX_PACKAGE_DATA_SIZE = MAX_PACKAGE_TOTAL_SIZE - kHeadSize;
constexpr uint16_t kPackageVersion = 10001;

enum PackageType : uint16_t {
    kPackageEvent = 1,
    kPackageResult = 2,
    // The bridge's own word to a client it does not serve, before the close.
    kPackageRefusal = 3,
};

// Header fields of untrusted, possibly unaligned bytes.
inline uint32_t header_total_size(const void *header) {
    uint32_t value = 0;
    ByteReader(header, kHeadSize).le32_at(offsetof(PackHead, ulTotalSize), &value);
    return value;
}

inline uint32_t header_message_id(const void *header) {
    uint32_t value = 0;
    ByteReader(header, kHeadSize).le32_at(offsetof(PackHead, ulMessageID), &value);
    return value;
}

// The header fields of the package at the front of a holder's buffer
// (CPackage, CShiftBuffer). Each read goes through the holder's
// read_header(offset, out, size), which copies the field under the holder's
// lock, or leaves it 0 when the holder has no buffer.
template <typename Holder>
class PackageHeaderFields {
  public:
    uint64_t GetTotalSize() { return field<uint32_t>(offsetof(PackHead, ulTotalSize)); }
    // Meaningful only while ulTotalSize >= kHeadSize.
    uint64_t GetDataSize() { return GetTotalSize() - static_cast<uint64_t>(kHeadSize); }
    uint32_t GetMessageID() { return field<uint32_t>(offsetof(PackHead, ulMessageID)); }
    uint8_t GetFunctionID() { return static_cast<uint8_t>(GetMessageID() & 0xFF); }
    uint16_t GetVersion() { return field<uint16_t>(offsetof(PackHead, uVersion)); }
    uint16_t GetType() { return field<uint16_t>(offsetof(PackHead, uType)); }
    uint16_t GetPackageID() { return field<uint16_t>(offsetof(PackHead, uPackageID)); }

  private:
    template <typename T>
    T field(size_t offset) {
        T value = 0;
        static_cast<Holder *>(this)->read_header(offset, &value, sizeof value);
        return value;
    }
};
