// The way out to the current client. Results and events go out whole and in
// the order they were handed over: written at once while the socket takes
// them, otherwise queued for a writer thread of the connection, so that the
// agent's threads never wait on the network. A client that does not read
// costs only its own connection: when the queue is full, or the writer's
// bytes make no progress for the stall limit, the connection is shut down,
// and a package cut off on the way is the last thing the client receives.
//
// Threads: the agent's (send), the connection's receiving thread (start,
// stop), and the writer ("nb_writer"), started the first time a package has
// to wait. Lock: send_lock guards the queue and every write made on a
// caller's thread; the writer writes without it, and is awaited by stop()
// before the socket can be closed.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

class Outbound {
  public:
    // The packages waiting for one client, at most.
    static constexpr size_t kMaxPackages = 8192;
    static constexpr size_t kMaxBytes = 1 << 20;

    // Serves the connection on fd, which becomes sockfd.
    void start(int fd);
    // Ends the writer and drops what waits. The socket is shut down (if it
    // is not yet), so that a write in progress ends at once.
    void stop();
    // True once the connection failed on the way out: the receiving thread
    // gives it up.
    bool failed();
    // Writes or queues the bytes as one whole to the client on sockfd. 0 when
    // they are on their way; -1 when there is no client (*no_client then
    // true; caller names the function in the report) or its connection
    // failed.
    int send(const char *bytes, int length, const char *caller, bool *no_client);
    // True when nothing waits to be written and the writer is not writing.
    bool idle();
    // Bytes the kernel has taken for the clients so far, over all
    // connections: less the socket's unsent bytes, what the client has
    // acknowledged.
    uint64_t bytes_sent() const { return sent_.load(); }

  private:
    static void *writer_main(void *self);
    void write_waiting();
    const char *write_whole(int fd, const std::vector<char> &unit);
    int send_unserved_locked(int fd, const char *bytes, int length);
    bool send_counted(int fd, const char *bytes, size_t length, size_t *sent);
    void fail_locked(const char *why);

    // Under send_lock.
    int fd_ = -1;
    std::deque<std::vector<char>> waiting_;
    size_t waiting_bytes_ = 0;
    bool writing_ = false;
    bool failed_ = false;
    bool stopping_ = false;
    bool writer_started_ = false;
    pthread_t writer_{};
    pthread_cond_t wake_ = PTHREAD_COND_INITIALIZER;
    std::atomic<uint64_t> sent_{0};
};

// The bridge's one way out (one client at a time).
Outbound &outbound();
