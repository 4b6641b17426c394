// Calls per second with a window of calls in flight all the time, for any
// connection with send_all(bytes, length) and receive_some(out, length)
// (n > 0, or 0 once the stream failed). The client reads whatever has
// arrived and refills the window with one write, so that it costs few system
// calls per call and the server sets the pace.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bridge_test_util.h"

namespace bench_calls {

// A plain socket client read as the remote stack reads: a wait for the
// socket, then a read.
class PlainReader {
  public:
    explicit PlainReader(bridge_test::Client &client) : client_(client) {}
    bool send_all(const char *bytes, size_t length) { return client_.send_all(bytes, length); }
    ssize_t receive_some(char *out, size_t length) {
        struct pollfd p = {client_.fd(), POLLIN, 0};
        if (poll(&p, 1, 20000) != 1)
            return 0;
        ssize_t n = recv(client_.fd(), out, length, 0);
        return n > 0 ? n : 0;
    }

  private:
    bridge_test::Client &client_;
};

// CPU time of this process (the bridge's threads and the client), in ms.
inline double cpu_ms() {
    struct timespec t = {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// *cpu_us (when given): the CPU both ends spent per call, which a busy
// machine changes less than the rate.
template <typename Connection>
double calls_per_s(Connection &c, int size, int outstanding, std::chrono::milliseconds time,
                   double *cpu_us = nullptr) {
    bridge_test::Bytes call = bridge_test::make_call(0x200, size);
    bridge_test::Bytes window;
    for (int i = 0; i < outstanding; ++i)
        window.insert(window.end(), call.begin(), call.end());
    c.send_all(window.data(), window.size());
    std::vector<char> incoming(1 << 16);
    size_t partial = 0;  // of an answer not yet complete
    long answered = 0;
    const double cpu_start = cpu_ms();
    const auto start = std::chrono::steady_clock::now();
    auto now = start;
    while (now - start < time) {
        ssize_t n = c.receive_some(incoming.data(), incoming.size());
        if (n <= 0) {
            fprintf(stderr, "answers missing\n");
            exit(1);
        }
        partial += static_cast<size_t>(n);
        const size_t complete = partial / call.size();
        partial %= call.size();
        answered += static_cast<long>(complete);
        if (complete > 0)
            c.send_all(window.data(), complete * call.size());
        now = std::chrono::steady_clock::now();
    }
    const double seconds = std::chrono::duration<double>(now - start).count();
    if (cpu_us != nullptr)
        *cpu_us = (cpu_ms() - cpu_start) * 1e3 / static_cast<double>(answered);
    // What is still in flight is read away before the next measurement.
    size_t left = static_cast<size_t>(outstanding) * call.size() - partial;
    while (left > 0) {
        ssize_t n = c.receive_some(incoming.data(), std::min(left, incoming.size()));
        if (n <= 0)
            break;
        left -= static_cast<size_t>(n);
    }
    return static_cast<double>(answered) / seconds;
}

}  // namespace bench_calls
