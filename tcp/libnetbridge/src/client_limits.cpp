#include "client_limits.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <atomic>

#include "netbridge_internal.h"
#include "outbound.h"
#include "wrappers.h"

namespace netbridge_tuning {
std::atomic<int> package_time_ms{10000};
}

namespace {

// A signing application may wait long for its customer: off by default.
std::atomic<int> idle_timeout_s{0};

// The longest poll() of a connected client, so that bytes the agent's
// threads wrote meanwhile are looked at in time.
constexpr int kLongestWaitMs = 1000;

}  // namespace

int client_idle_timeout_s() {
    return idle_timeout_s.load();
}

ClientLimits::ClientLimits(int fd)
    : fd_(fd),
      package_limit_(netbridge_tuning::package_time_ms.load()),
      write_limit_(netbridge_tuning::write_stall_ms.load()),
      idle_limit_(client_idle_timeout_s()),
      last_package_(clock::now()),
      last_progress_(last_package_) {}

void ClientLimits::arrived(uint64_t fill, uint64_t packages) {
    const auto now = clock::now();
    const bool new_package = packages != packages_;
    if (new_package)
        last_package_ = now;
    packages_ = packages;
    // Bytes left behind a whole package began a new one in this read.
    if (fill == 0)
        partial_ = false;
    else if (!partial_ || new_package)
        partial_since_ = now;
    partial_ = fill != 0;
}

void ClientLimits::half_closed() {
    if (half_closed_)
        return;
    half_closed_ = true;
    half_closed_at_ = clock::now();
}

int ClientLimits::wait_ms() const {
    return std::clamp(static_cast<int>(write_limit_.count() / 4), 1, kLongestWaitMs);
}

// True when bytes wait unacknowledged and none has been acknowledged for
// the write time limit.
bool ClientLimits::unacknowledged_stall(clock::time_point now) {
    // A look at the socket every wait, not after every read.
    if (now < next_look_)
        return false;
    next_look_ = now + std::chrono::milliseconds(wait_ms());
    int queued = 0;
    if (ioctl(fd_, SIOCOUTQ, &queued) < 0 || queued <= 0) {
        last_progress_ = now;
        return false;
    }
    const uint64_t sent = outbound().bytes_sent();
    const uint64_t acknowledged = sent - std::min<uint64_t>(sent, static_cast<uint64_t>(queued));
    if (acknowledged != acknowledged_) {
        acknowledged_ = acknowledged;
        last_progress_ = now;
        return false;
    }
    return now - last_progress_ >= write_limit_;
}

const char *ClientLimits::check(bool results_pending) {
    const auto now = clock::now();
    if (unacknowledged_stall(now))
        return "the client acknowledged no bytes within the write time limit";
    if (half_closed_)
        return results_pending && now - half_closed_at_ >= write_limit_
                   ? "the client closed its side and its results did not go out within the write "
                     "time limit"
                   : nullptr;
    if (partial_ && now - partial_since_ >= package_limit_)
        return "a package was not complete within the package time limit";
    if (idle_limit_.count() > 0 && now - last_package_ >= idle_limit_)
        return "the client sent no package within the idle time-out";
    return nullptr;
}

extern "C" void set_idle_timeout(int seconds) {
    TRACE_SCOPE();
    idle_timeout_s = std::max(seconds, 0);
}
