// The queue of outbound packages that the engine has not taken yet: events,
// and results whose direct write was refused. Producers are the agent's
// threads; the only consumer is the engine's poll, which sends the front
// package and pops it only once the write went through.
//
// Ownership: a pushed package belongs to the queue until the consumer pops
// it, and the consumer then destroys it. Packages still queued at Release()
// are destroyed with the queue.
#pragma once

#include <pthread.h>

#include <atomic>
#include <deque>

class CPackage;

class CPackageQueue {
  public:
    // Creates the instance on first use. The creation is not locked: the
    // first call must come before any concurrent use (the driver's open).
    static CPackageQueue *GetInstance();
    // Destroys the instance and every package still in it. No producer may
    // be running (the driver waits for its callbacks first).
    static void Release();

    void Push(CPackage *package);
    // What PushBounded did with a package.
    enum class Bounded {
        queued,      // in the queue (an older event may have given way)
        dropped,     // an event that found no room: destroyed
        overflowed,  // a result that found no room: it and every package
                     // behind the front were destroyed
    };
    // Pushes within `limit` packages and `byte_limit` bytes. While the queue
    // is full, the oldest event behind the front (which the consumer may be
    // writing) is dropped and destroyed to make room; an event that finds
    // none is dropped itself. A result that finds none overflows the queue:
    // whoever waits for its results is gone. *burst_began is true for the
    // first event dropped since the queue was last below its limits.
    Bounded PushBounded(CPackage *package, size_t limit, size_t byte_limit, bool *burst_began);
    // The oldest package, left in place; null when the queue is empty.
    CPackage *Front();
    // Drops the oldest pointer, if any; the package itself is the caller's.
    void Pop();
    size_t Size();

    CPackageQueue(const CPackageQueue &) = delete;
    CPackageQueue &operator=(const CPackageQueue &) = delete;

    // Read by the agent's threads while the engine's thread may clear it.
    static std::atomic<CPackageQueue *> theInstance;

  private:
    CPackageQueue();
    ~CPackageQueue();

    std::deque<CPackage *> m_queue;
    pthread_mutex_t m_csData;
    // Set by a drop, cleared once the queue is below the limit again.
    bool m_bDropping = false;
    size_t m_nLimit = 0;
    size_t m_nByteLimit = 0;
    // Total size of the queued packages.
    size_t m_nBytes = 0;
};
