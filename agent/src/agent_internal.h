// What the agent's units share: the event path (used by the pad library's
// callbacks) and the stream records (kept by the worker).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "codec.h"

namespace inkagent {

// Hands an event package to the bridge's event callback, numbering it with
// the agent's event sequence, if it belongs to the bridge's current client
// (owner, a connection; 0 for events of no client in particular). Safe from
// any thread; never called with a lock held that a pad-library call may
// wait for.
void emit_event(uint8_t *package, size_t size, uint64_t owner);

// Notes that pad `device` arrived, for the worker to describe and announce
// before its next call. Safe from any thread; takes only the queue's lock.
void note_arrival(uint32_t device);

// The connection an inbound call or a stream belongs to. Starts at 1 and
// advances whenever the bridge reports that its client is gone.
extern std::atomic<uint64_t> connection;

// One record per (device, end point) the remote side may stream from: the
// connection that enabled it, 0 when off. Written by the worker only, read
// by the pad library's callback threads.
constexpr uint32_t kMaxDevice = 15;
constexpr uint32_t kEndPoints = 8;
struct Stream {
    std::atomic<uint64_t> owner{0};
};

// The pad-library side of the agent. All of these run on the worker (or on
// the unloading thread once the worker has ended).
// Runs a decoded call for the client of connection `owner` and completes
// its result package in out; returns the package size.
size_t run_call(const DecodedCall &call, uint64_t owner, ResultWriter &out);
// Sends an arrival event for each pad whose bit (1 << device) is set, with
// its ids and serial number; a pad that cannot be described any more (it
// left again) is left out: its removal is reported instead.
void announce_arrivals(uint32_t devices);
// Switches off every stream the remote side enabled.
void stop_streams();
// Switches off the streams and, if the agent initialised the pad library,
// shuts it down: nothing of the library may call into an unloaded agent.
void release_pad_library();

}  // namespace inkagent
