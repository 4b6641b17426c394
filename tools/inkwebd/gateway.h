// The gateway: HTTP and WebSocket on a loopback port, on one pad stack.
//
// Threads: run() is the network thread; everything of the sockets happens
// there. The pad stack has its own thread (PadWorker). stop() and stats()
// may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pad_stack.h"

namespace inkwebd {

struct Limits {
    size_t max_queued = 1 << 20;  // bytes waiting for a page; further events are dropped
    size_t max_frame = 64 * 1024;
    unsigned max_waiting_calls = 64;         // then the page's socket is not read
    std::chrono::milliseconds stall{30000};  // a page that takes nothing this long: 1008
    std::chrono::milliseconds ping{20000};
    std::chrono::milliseconds silence{60000};    // nothing heard this long: closed
    std::chrono::milliseconds close_wait{1000};  // for the page's answer to our close
    std::chrono::milliseconds http_idle{30000};  // a connection that sends no request
    size_t max_connections = 256;                // beyond it, new ones are closed at once
};

struct Config {
    std::string hostname = "127.0.0.1";
    unsigned port = 38100;  // 0: any free port
    std::vector<std::string> allow_origins;
    std::string version;
    Limits limits;
};

// What tests and the log look at.
struct Stats {
    size_t queued = 0;     // bytes queued for the page that holds the pads
    uint64_t dropped = 0;  // events dropped so far, all pages
    uint64_t pages = 0;    // sockets accepted so far
    uint64_t stalled = 0;  // pages closed for taking nothing
    size_t connections = 0;
};

class Gateway {
  public:
    // `stack` has been initialized.
    Gateway(Config config, std::unique_ptr<inkclient::PadStack> stack);
    ~Gateway();
    Gateway(const Gateway &) = delete;
    Gateway &operator=(const Gateway &) = delete;

    // Binds the port; false with the reason.
    bool listen(std::string &why);
    unsigned port() const;
    // Serves until stop(); then closes the pages (1001) and returns within
    // about a second, the pads released.
    void run();
    void stop();
    Stats stats() const;

    struct State;

  private:
    std::unique_ptr<State> state_;
};

}  // namespace inkwebd
