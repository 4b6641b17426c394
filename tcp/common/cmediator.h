// Binding of the agent library: load it by name, resolve its five entries,
// register the bridge's callbacks with it, and undo all of it on close.
//
// Binding and unbinding run inside the bridges' open and close routines,
// which are serialised (TCP: general_lock; ICA: the engine's thread), so the
// handle is a plain pointer. The entry pointers are also read, without a
// lock, by the thread that delivers inbound packages and by the callbacks:
// they are atomics. C sees each as a plain function pointer (a lock-free
// std::atomic of a pointer has the pointer's size and alignment).
#pragma once

#include <atomic>

#include "bridge_export.h"
#include "netbridge/agent.h"

static_assert(std::atomic<ClientRegisterFarFunction_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<ClientRegisterFarFunction_t>) ==
              sizeof(ClientRegisterFarFunction_t));
static_assert(sizeof(ServerSessionInfo) == 24);

extern "C" {
BRIDGE_EXPORT extern void *hClientMediatorHandle;
BRIDGE_EXPORT extern std::atomic<ClientRegisterFarFunction_t> pfClientRegisterFarFunction;
BRIDGE_EXPORT extern std::atomic<ClientRegisterCallBackFunction_t>
    pfClientRegisterResultCallBackFunction;
BRIDGE_EXPORT extern std::atomic<ClientRegisterCallBackFunction_t>
    pfClientRegisterEventCallBackFunction;
BRIDGE_EXPORT extern std::atomic<ClientMakeEventCallBackFunction_t>
    pfClientMakeEventCallBackFunction;
BRIDGE_EXPORT extern std::atomic<ClientRegisterServerConnection_t> pfClientRegisterServerConnection;
BRIDGE_EXPORT extern ServerSessionInfo serverSessionInfo;

// Loads libinkagent.so and resolves its entries; true when all five are
// there or the agent was loaded already. On a missing entry the handle and
// the entries resolved so far stay set until the next release.
BRIDGE_EXPORT bool LoadTheMediatorDLLInterface(void);
// Removes both callbacks from the agent.
BRIDGE_EXPORT void ResetTheMediatorDLLInterface(void);
}

// The parts in which the bridges differ. Each bridge exports
// InitTheMediatorDLLInterface and FreeTheMediatorDLLInterface as calls of
// these with its own callbacks and its own way of letting go.
void mediator_register(InkagentCallback result, InkagentCallback event);

enum class AgentRelease {
    unload,       // dlclose the agent
    keep_mapped,  // forget the handle, leave the library mapped
};
// Clears the five entries and lets go of the handle; false when dlclose failed.
bool mediator_release(AgentRelease how);

// Tells a bound agent that there is no client connection. Call it with no
// lock held that the agent's own calls into the bridge could need.
void mediator_report_no_connection();
