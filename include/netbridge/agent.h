/*
 * The agent library (libinkagent.so) as the bridges see it: the entry points
 * they resolve by name and call, and the callback through which the agent
 * hands back results and events.
 *
 * A bridge loads the agent with dlopen("libinkagent.so"), so the dynamic
 * linker's search path (LD_LIBRARY_PATH, the cache) decides which agent runs.
 */
#ifndef NETBRIDGE_AGENT_H
#define NETBRIDGE_AGENT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Result or event callback of a bridge. package holds one complete package
 * (34-byte header with ulMessageID, then the data) of length bytes; it belongs
 * to the agent and needs to stay valid only during the call, the bridge copies
 * it. Returns 0 when the package was written to the channel, otherwise the
 * package is dropped (TCP bridge: -1). May be called from any thread.
 */
typedef int (*InkagentCallback)(void *package, int length);

/*
 * ClientRegisterFarFunction: one complete inbound call package, header
 * included, of total_size bytes. The bytes lie in the bridge's reassembly
 * buffer and are valid only during the call; the agent may report the result
 * from within the call.
 */
typedef void (*ClientRegisterFarFunction_t)(const char *package, uint32_t total_size);
/* ClientRegisterResultCallBackFunction and ClientRegisterEventCallBackFunction:
 * a bridge callback, or NULL to remove it. After removal the agent must not
 * call the old callback again: the bridge may unload the agent next. */
typedef void (*ClientRegisterCallBackFunction_t)(InkagentCallback callback);
/* ClientMakeEventCallBackFunction: required by the bridges, never called. */
typedef void (*ClientMakeEventCallBackFunction_t)(void);
/* ClientRegisterServerConnection: the bridges only ever pass 0, "there is no
 * client connection (any more)". */
typedef void (*ClientRegisterServerConnection_t)(int connection);

/* serverSessionInfo, exported by both bridges: 24 bytes, initially
 * { -1, 2044, 0... }. The bridges neither read nor write it. */
struct ServerSessionInfo {
    int32_t lSessionID;
    uint32_t ulMaxPackageSize;
    uint8_t reserved[16];
};

#ifdef __cplusplus
}
#endif

#endif /* NETBRIDGE_AGENT_H */
