// The records exchanged with the ICA client engine, as the engine lays them
// out on x86-64. The engine owns every one of them except the few the driver
// fills in on its own stack (query/set requests, channel-open, write-hook,
// memory sections); the driver reads and writes single fields only, so the
// parts of a record it does not know are never touched.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ica {

// Engine calls through the link's procedure table all share this shape.
using Procedure = int (*)(void *data, void *param, uint16_t *size);

// Inbound channel data: the hook the driver registers for its channel.
using DataHook = int (*)(void *context, uint16_t channel, char *data, uint16_t length);

struct MemorySection;
// The engine's write function; 0 means the bytes were taken.
using WriteFunction = int (*)(void *wd, uint16_t channel, MemorySection *sections,
                              uint16_t section_count, uint16_t flags);

// Function numbers of VdCallWd and the information classes the driver uses.
constexpr uint16_t kWdQueryInformation = 6;
constexpr uint16_t kWdSetInformation = 7;
constexpr uint32_t kClassOpenVirtualChannel = 33;
constexpr uint32_t kClassVirtualWriteHook = 10;

// The engine's link record: handed to Load, and the one VdCallWd calls
// through (the instance and the open parameters point at it).
struct Link {
    uint8_t reserved0[4];
    uint16_t usProcedureCount;  // set by Load
    uint8_t reserved6[2];
    Procedure *pProcedures;  // Load: our table; engine link: the engine's table
    void *pData;             // Load: our data area; engine link: the engine's data
    uint8_t reserved24[24];
    void *pLibMgrCallTable;  // the engine's library-manager table (read by Load)
};
static_assert(offsetof(Link, usProcedureCount) == 4);
static_assert(offsetof(Link, pProcedures) == 8);
static_assert(offsetof(Link, pData) == 16);
static_assert(offsetof(Link, pLibMgrCallTable) == 48);

// The engine's per-driver instance record (at least 32 bytes).
struct Instance {
    uint32_t ulChannelMask;
    uint8_t reserved4[4];
    Link *pLink;
    uint32_t ulLastError;
    uint8_t reserved20[4];
    void *pPrivate;
};
static_assert(offsetof(Instance, ulChannelMask) == 0);
static_assert(offsetof(Instance, pLink) == 8);
static_assert(offsetof(Instance, ulLastError) == 16);
static_assert(offsetof(Instance, pPrivate) == 24);
static_assert(sizeof(Instance) == 32);

// Parameters of the open entry.
struct OpenParameters {
    uint8_t reserved0[8];
    Link *pLink;
    uint32_t ulChannelMask;  // written by the driver
};
static_assert(offsetof(OpenParameters, pLink) == 8);
static_assert(offsetof(OpenParameters, ulChannelMask) == 16);

// A query- or set-information request (function 6 or 7 of VdCallWd).
struct InformationRequest {
    uint32_t ulClass;
    uint8_t reserved4[4];
    void *pData;
    uint16_t usLength;
    uint8_t reserved18[6];
};
static_assert(offsetof(InformationRequest, ulClass) == 0);
static_assert(offsetof(InformationRequest, pData) == 8);
static_assert(offsetof(InformationRequest, usLength) == 16);
static_assert(sizeof(InformationRequest) == 24);

// Class 33: open a virtual channel by name; the engine fills in its number.
struct ChannelOpen {
    const char *pName;
    uint16_t usChannel;
    uint8_t reserved10[6];
};
static_assert(offsetof(ChannelOpen, pName) == 0);
static_assert(offsetof(ChannelOpen, usChannel) == 8);
static_assert(sizeof(ChannelOpen) == 16);

// Class 10: register the inbound hook; the engine answers with its channel
// context, its largest write and its write function.
struct WriteHook {
    uint16_t usChannel;
    uint8_t reserved2[6];
    void *pInstance;
    DataHook pHook;
    void *pWd;  // filled in by the engine
    uint8_t reserved32[32];
    uint16_t usMaxDataSize;  // filled in by the engine
    uint8_t reserved66[6];
    WriteFunction pWrite;  // filled in by the engine
};
static_assert(offsetof(WriteHook, usChannel) == 0);
static_assert(offsetof(WriteHook, pInstance) == 8);
static_assert(offsetof(WriteHook, pHook) == 16);
static_assert(offsetof(WriteHook, pWd) == 24);
static_assert(offsetof(WriteHook, usMaxDataSize) == 64);
static_assert(offsetof(WriteHook, pWrite) == 72);
static_assert(sizeof(WriteHook) == 80);

// One piece of a write.
struct MemorySection {
    uint32_t ulLength;
    uint8_t reserved4[4];
    const void *pData;
};
static_assert(offsetof(MemorySection, ulLength) == 0);
static_assert(offsetof(MemorySection, pData) == 8);
static_assert(sizeof(MemorySection) == 16);

// Parameters of the info entry: the engine's buffer and its size (in), or
// the size the driver needs (out).
struct InfoParameters {
    void *pBuffer;
    uint16_t usByteCount;
};
static_assert(offsetof(InfoParameters, pBuffer) == 0);
static_assert(offsetof(InfoParameters, usByteCount) == 8);

// The driver's description of itself in the engine's info buffer. Bytes not
// named here keep what the engine put there.
struct __attribute__((packed)) DriverInfo {
    uint16_t usByteCount;
    uint8_t reserved2;
    uint8_t ucModuleClass;
    uint8_t ucVersionLow;
    uint8_t ucVersionHigh;
    uint8_t reserved6[13];
    char szProtocol[4];
    uint8_t reserved23[13];
    uint32_t ulChannelMask;
    uint8_t ucFlags40;
    uint8_t ucFlags41;
    uint8_t reserved42[6];
    uint16_t usMaxDataSize;
};
static_assert(offsetof(DriverInfo, usByteCount) == 0);
static_assert(offsetof(DriverInfo, ucModuleClass) == 3);
static_assert(offsetof(DriverInfo, ucVersionLow) == 4);
static_assert(offsetof(DriverInfo, ucVersionHigh) == 5);
static_assert(offsetof(DriverInfo, szProtocol) == 19);
static_assert(offsetof(DriverInfo, ulChannelMask) == 36);
static_assert(offsetof(DriverInfo, ucFlags40) == 40);
static_assert(offsetof(DriverInfo, ucFlags41) == 41);
static_assert(offsetof(DriverInfo, usMaxDataSize) == 48);
static_assert(sizeof(DriverInfo) == 50);

// DriverGetLastError's answer: the code, then a text the driver leaves empty.
struct LastError {
    uint32_t ulError;
    char szMessage[1];
};
static_assert(offsetof(LastError, ulError) == 0);
static_assert(offsetof(LastError, szMessage) == 4);

// Status numbers the driver returns to the engine.
constexpr int kStatusSuccess = 0;
constexpr int kStatusNoData = 21;
constexpr int kStatusRetryLater = 30;
constexpr int kStatusFailure = 1000;
constexpr int kStatusNoMemory = 1001;
constexpr int kStatusBufferTooSmall = 1004;
constexpr int kStatusNoProcedureTable = 1011;
constexpr int kStatusWriteRefused = 1016;

}  // namespace ica
