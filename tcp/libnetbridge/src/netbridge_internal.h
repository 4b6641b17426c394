// The TCP bridge's module state as the library's own code (and its unit
// tests) see it. Every name is exported; C sees each std::atomic<T> below as
// a plain T, which the assertions make sure is the same object layout.
#pragma once

#include <pthread.h>

#include <atomic>

#include "netbridge/netbridge.h"

static_assert(std::atomic<int>::is_always_lock_free && sizeof(std::atomic<int>) == sizeof(int) &&
              alignof(std::atomic<int>) == alignof(int));
static_assert(std::atomic<bool>::is_always_lock_free && sizeof(std::atomic<bool>) == sizeof(bool));
static_assert(std::atomic<const char *>::is_always_lock_free &&
              sizeof(std::atomic<const char *>) == sizeof(const char *));

extern "C" {
// Set before DriverOpen by the caller, read by the accepting thread.
NETBRIDGE_API extern std::atomic<const char *> hostname;
NETBRIDGE_API extern std::atomic<const char *> port;
// Listening socket and current client socket; -1 when there is none.
NETBRIDGE_API extern std::atomic<int> a_socket;
NETBRIDGE_API extern std::atomic<int> sockfd;
// Run flags of the accepting and the receiving thread.
NETBRIDGE_API extern std::atomic<bool> need_accepting;
NETBRIDGE_API extern std::atomic<bool> need_listening;
// Set while closing: the accepting thread then ends without a restart.
NETBRIDGE_API extern std::atomic<bool> do_driver_close;
// Set while the driver restarts itself: the agent stays loaded.
NETBRIDGE_API extern std::atomic<bool> do_not_touch_libinkagent;

// Serialises open, close and the self-restart.
NETBRIDGE_API extern pthread_mutex_t general_lock;
// Held by the accepting / receiving thread for its whole life; taking and
// releasing one waits for that thread's end.
NETBRIDGE_API extern pthread_mutex_t need_accepting_lock;
NETBRIDGE_API extern pthread_mutex_t need_listening_lock;
// Guard the start gates of the two threads.
NETBRIDGE_API extern pthread_mutex_t wait_at_lock;
NETBRIDGE_API extern pthread_mutex_t wait_lt_lock;
// Serialises writes of packages to sockfd; sockfd is closed and reset only
// under it.
NETBRIDGE_API extern pthread_mutex_t send_lock;
}

namespace netbridge_tuning {
// Least time between two hand-overs from a live client to a newer one, so
// that a burst of live connections does not make the bridge drop one client
// after the other; a client that arrives alone never waits. Tests shorten it.
extern std::atomic<int> accept_pause_ms;
// A client that takes no byte of a waiting package, or acknowledges none
// of those the kernel holds for it, for this long is cut off; a client that
// shut its sending side gets its results within it.
extern std::atomic<int> write_stall_ms;
// A package that has begun arriving is complete within this, or its
// connection is closed.
extern std::atomic<int> package_time_ms;
// First pause before the listener is opened again after a failed attempt;
// it doubles up to restart_pause_max_ms.
extern std::atomic<int> restart_pause_ms;
extern std::atomic<int> restart_pause_max_ms;
}  // namespace netbridge_tuning

// Access control (set_allow, set_exclusive): whether a peer at this address
// may connect at all, and whether a connected client keeps its place.
bool peer_allowed(const struct sockaddr *peer, socklen_t length);
bool exclusive_clients();
