// The virtual driver's exported surface. The ICA client engine loads the
// library, calls Load and then only the procedure table (VdProcedures); every
// entry and the inbound hook run on the engine's thread. The agent's result
// and event callbacks run on whatever thread the agent uses.
#pragma once

#include <atomic>
#include <cstdint>

#include "bridge_export.h"
#include "ica_records.h"

// pWd and pQueueVirtualWrite are written at open on the engine's thread and
// read by the agent's threads when they write results: atomics, which C sees
// as plain pointers.
static_assert(sizeof(std::atomic<void *>) == sizeof(void *));
static_assert(sizeof(std::atomic<ica::WriteFunction>) == sizeof(ica::WriteFunction));

extern "C" {
BRIDGE_EXPORT extern void *VdProcedures[8];
BRIDGE_EXPORT extern uint8_t VdData[32];
BRIDGE_EXPORT extern int (*libvlink_WrapLoad)(void *link);
BRIDGE_EXPORT extern std::atomic<void *> pWd;
BRIDGE_EXPORT extern std::atomic<ica::WriteFunction> pQueueVirtualWrite;
BRIDGE_EXPORT extern void *GlobalReadDataTmpPtr;
// The engine's own global. The engine defines it; ours is a weak stand-in so
// the driver also loads outside the engine.
BRIDGE_EXPORT extern void *g_pLibMgrCallTable;

BRIDGE_EXPORT int Load(void *link);
BRIDGE_EXPORT int DriverOpen(void *instance, void *parameters, uint16_t *size);
BRIDGE_EXPORT int DriverClose(void *instance, void *parameters, uint16_t *size);
BRIDGE_EXPORT int DriverInfo(void *instance, void *parameters, uint16_t *size);
BRIDGE_EXPORT int DriverPoll(void *instance, void *parameters, uint16_t *size);
BRIDGE_EXPORT int DriverQueryInformation(void *instance, void *parameters, uint16_t *size);
BRIDGE_EXPORT int DriverSetInformation(void *instance, void *parameters, uint16_t *size);
BRIDGE_EXPORT int DriverGetLastError(void *instance, void *error);
BRIDGE_EXPORT int VdCallWd(void *instance, uint16_t function, void *parameter, uint16_t *size);
BRIDGE_EXPORT void *VdLibMgr(void);

// Writes one package to the channel through the engine; 0 when taken.
BRIDGE_EXPORT int DriverSendData(const char *data, uint16_t length, uint16_t flag);
// The inbound hook registered with the engine.
BRIDGE_EXPORT int ICADataArrival(void *context, uint16_t channel, char *data, uint16_t length);
BRIDGE_EXPORT int DriverResultProcessorFunction(void *package, int length);
BRIDGE_EXPORT int DriverEventProcessorFunction(void *package, int length);

BRIDGE_EXPORT void InitTheMediatorDLLInterface(void);
BRIDGE_EXPORT bool FreeTheMediatorDLLInterface(void);
BRIDGE_EXPORT int __driver_open(void);
BRIDGE_EXPORT int __driver_close(void);
}
