// The time limits of one client connection, kept by its receiving thread,
// so that no client can hold the bridge:
// - a package that has begun arriving is complete within the package time
//   limit (a header sent a byte at a time, or a size that is never reached);
// - with an idle time-out set, a client sends a package at least that often;
// - the bytes written to the client are acknowledged, with progress, within
//   the write time limit, however much of them the kernel buffers;
// - a client that has shut its sending side gets the results of the calls
//   it sent within the write time limit, and is then let go.
#pragma once

#include <chrono>
#include <cstdint>

class ClientLimits {
  public:
    explicit ClientLimits(int fd);

    // After a read: `fill` bytes of a package not yet whole stay buffered,
    // `packages` counts the packages handed on so far.
    void arrived(uint64_t fill, uint64_t packages);
    // The client has shut its sending side.
    void half_closed();
    bool is_half_closed() const { return half_closed_; }
    // True once a client that shut its side has had all its results.
    bool finished(bool results_pending) const { return half_closed_ && !results_pending; }
    // How long poll() may wait before check() is due again.
    int wait_ms() const;
    // Why the connection is to be let go now, or null. `results_pending`
    // says whether a call of the client still waits for its result to go
    // out.
    const char *check(bool results_pending);

  private:
    using clock = std::chrono::steady_clock;

    bool unacknowledged_stall(clock::time_point now);

    const int fd_;
    const std::chrono::milliseconds package_limit_;
    const std::chrono::milliseconds write_limit_;
    const std::chrono::seconds idle_limit_;  // 0: none
    uint64_t packages_ = 0;
    bool partial_ = false;
    clock::time_point partial_since_;
    clock::time_point last_package_;
    bool half_closed_ = false;
    clock::time_point half_closed_at_;
    uint64_t acknowledged_ = 0;
    clock::time_point last_progress_;
    clock::time_point next_look_;
};

// Seconds without a package after which a client is let go; 0 for never.
int client_idle_timeout_s();
