// The bridges' data path between the channel and the agent, with the
// per-bridge differences as parameters: inbound bytes are reassembled and
// every complete package goes to the agent's far function; outbound results
// and events from the agent are framed as packages, which each bridge then
// writes its own way (TCP: to the socket; ICA: through the engine or its
// queue).
#pragma once

#include <cstdint>

#include "cpackage.h"
#include "cshiftbuf.h"

// The bridge's reassembly buffer, made on first use (thread-safe) and kept
// for the life of the process. Only one thread at a time delivers inbound
// data, so only that thread uses it.
CShiftBuffer &inbound_buffer();

struct InboundPolicy {
    // TCP bridge: stamp ulArrivalTime with GetTimeStamp() before delivery.
    bool stamp_arrival;
    // Optional: sees each complete package first and returns true when it
    // dealt with the package itself (the ICA bridge's test mode); the agent
    // is then not called.
    bool (*intercept)(char *package, uint32_t total_size);
    // Optional: asked before each package; once it says no, the packages
    // left in the buffer stay there (the TCP bridge stops handing over a
    // client's calls the moment it lets the client go).
    bool (*go_on)();
};

// Appends one piece (if any) and hands every complete package in the buffer
// to the agent, in stream order. A peer that sends several calls in one write
// gets all of them served without sending more bytes.
void inbound_arrival(const char *data, unsigned length, const InboundPolicy &policy);

struct OutboundPolicy {
    PackageType type;
    // TCP bridge: stamp ulSendTime with GetTimeStamp().
    bool stamp_send_time;
    // Name of the callback, for the reports.
    const char *caller;
};

// Frames the agent's bytes as an outbound package: type, version 10001,
// both sizes, package id 0, and the send time if asked. The agent's header
// must be whole and the package below MAX_PACKAGE_DATA_SIZE bytes; otherwise
// nothing is framed, the failure is reported and the result is false, and
// the package must be neither sent nor queued.
bool frame_outbound(CPackage &package, const void *agent_bytes, int length,
                    const OutboundPolicy &policy);
