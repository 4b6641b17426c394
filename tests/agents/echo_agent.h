/*
 * Test controls of the stand-in echo agent (tests/agents/echo_agent.cpp).
 * A test reaches them with dlopen("libinkagent.so") and dlsym, which yields
 * the very instance the bridge has loaded.
 */
#ifndef INKPORT_TESTS_ECHO_AGENT_H
#define INKPORT_TESTS_ECHO_AGENT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Calls whose function id (low byte of ulMessageID) is this are counted but
 * not answered. */
#define ECHO_AGENT_SILENT_FUNCTION 0xF0
/* Calls whose function id is this are answered, and then the far function
 * goes on for 30 s: an agent that holds on to the bridge's thread. */
#define ECHO_AGENT_STALL_FUNCTION 0xF1
/* Calls whose function id is this are answered 300 ms later from a thread
 * of the agent's, as a call that waits for the pad is. */
#define ECHO_AGENT_LATE_FUNCTION 0xF2

struct EchoAgentCounters {
    int far_calls;             /* ClientRegisterFarFunction */
    int results_sent;          /* result callback returned 0 */
    int results_refused;       /* result callback returned something else */
    int no_connection_reports; /* ClientRegisterServerConnection(0) */
    int registrations;         /* non-null callback registrations */
    int removals;              /* null callback registrations */
};

/* Fills *out. */
typedef void (*echo_agent_counters_t)(struct EchoAgentCounters *out);
/* Copies the last call (up to capacity bytes) to buffer; *size is the size
 * the bridge passed, *address the pointer it passed. Returns bytes copied. */
typedef int (*echo_agent_last_call_t)(char *buffer, int capacity, uint32_t *size,
                                      const void **address);
/* Starts a thread that calls the event callback up to count times with
 * size-byte packages (message id as given) and stops at the first result
 * other than 0. 0, or -1 while an earlier emission runs. */
typedef int (*echo_agent_emit_events_t)(int count, int size, uint32_t message_id);
/* Waits up to timeout_ms for the emission to end: 0 and the number of events
 * written and the last callback result, or -1 on time-out. */
typedef int (*echo_agent_wait_events_t)(int timeout_ms, int *written, int *last_result);

#ifdef __cplusplus
}
#endif

#endif
