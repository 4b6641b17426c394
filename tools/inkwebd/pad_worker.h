// The thread that owns the pad stack. A pad stack is used from one thread,
// and the calls of a page run one at a time, in the order they came; so
// every call, and the hand-out of the stack's events, happens here.
//
// One page at a time holds the pads. adopt(page) makes a page the holder:
// the previous holder's streams are switched off, and the events still queued
// for them dropped, before any call queued after adopt() runs. Calls of a
// page that no longer holds the pads are skipped.
//
// Threads: submit/adopt/count_pads/stop may come from any thread. `Deliver`
// runs on the worker's thread with no lock of the worker held.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "messages.h"
#include "pad_stack.h"

namespace inkwebd {

class PadWorker {
  public:
    enum class Kind { answer, event };
    // A text frame for page `page`: the answer to one of its calls, or an event.
    using Deliver = std::function<void(uint64_t page, Kind kind, std::string text)>;

    // The stack has been initialized; the worker deinitializes it in stop().
    PadWorker(std::unique_ptr<inkclient::PadStack> stack, Deliver deliver);
    ~PadWorker();
    PadWorker(const PadWorker &) = delete;
    PadWorker &operator=(const PadWorker &) = delete;

    void adopt(uint64_t page);  // 0: no page holds the pads
    void submit(uint64_t page, Request request);
    // Calls back, on the worker's thread, with the number of pads (0 when the
    // stack cannot say).
    void count_pads(std::function<void(unsigned)> done);
    // Switches every stream off, deinitializes the stack, ends the thread.
    void stop();

  private:
    using Job = std::function<void()>;

    void post(Job job);
    void run();
    void run_call(uint64_t page, const Request &r);
    void on_event(const inkclient::Event &event);
    void release_streams();

    std::unique_ptr<inkclient::PadStack> stack_;
    Deliver deliver_;

    std::mutex mutex_;  // guards jobs_ and stopping_
    std::condition_variable more_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    std::atomic<uint64_t> owner_{0};  // the newest adopt(): calls of others are skipped

    // Worker thread only.
    uint64_t holder_ = 0;  // the page the streams below belong to
    std::set<std::pair<unsigned, unsigned>> streams_;
    bool watching_ = false;        // the holder asked for arrivals
    bool stack_watching_ = false;  // the stack was asked once; it cannot be asked to stop
    uint64_t seq_ = 0;             // the holder's data events so far
    bool events_broken_ = false;   // the stack's event stream ended (a lost bridge)

    std::thread thread_;
};

}  // namespace inkwebd
