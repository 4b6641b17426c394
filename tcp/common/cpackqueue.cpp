#include "cpackqueue.h"

#include <new>
#include <vector>

#include "cpackage.h"
#include "wrappthread.h"

std::atomic<CPackageQueue *> CPackageQueue::theInstance{nullptr};

CPackageQueue::CPackageQueue() {
    TRACE_SCOPE();
    Pthread_mutex_init(&m_csData, nullptr);
}

CPackageQueue::~CPackageQueue() {
    TRACE_SCOPE();
    // A package left here would never be sent again: nobody else holds it.
    size_t dropped = m_queue.size();
    for (CPackage *package : m_queue)
        delete package;
    m_queue.clear();
    if (dropped)
        TRACE_INFO("dropped %zu unsent package(s)", dropped);
    pthread_mutex_destroy(&m_csData);
}

CPackageQueue *CPackageQueue::GetInstance() {
    CPackageQueue *queue = theInstance.load();
    if (!queue) {
        queue = new (std::nothrow) CPackageQueue();
        if (!queue)
            return nullptr;
        theInstance.store(queue);
    }
    return queue;
}

void CPackageQueue::Release() {
    TRACE_SCOPE();
    delete theInstance.exchange(nullptr);
}

void CPackageQueue::Push(CPackage *package) {
    LOCK_GUARD(guard, &m_csData);
    m_queue.push_back(package);
    m_nBytes += package->GetTotalSize();
}

CPackageQueue::Bounded CPackageQueue::PushBounded(CPackage *package, size_t limit,
                                                  size_t byte_limit, bool *burst_began) {
    *burst_began = false;
    std::vector<CPackage *> dropped;
    Bounded outcome = Bounded::queued;
    {
        LOCK_GUARD(guard, &m_csData);
        m_nLimit = limit;
        m_nByteLimit = byte_limit;
        const size_t size = package->GetTotalSize();
        // Events give way, oldest first, never the front: the consumer may
        // be writing it right now.
        while (!m_queue.empty() && (m_queue.size() >= limit || m_nBytes + size > byte_limit)) {
            auto oldest_event = m_queue.end();
            for (auto it = m_queue.begin() + 1; it != m_queue.end(); ++it)
                if ((*it)->GetType() == kPackageEvent) {
                    oldest_event = it;
                    break;
                }
            if (oldest_event == m_queue.end())
                break;
            dropped.push_back(*oldest_event);
            m_nBytes -= (*oldest_event)->GetTotalSize();
            m_queue.erase(oldest_event);
        }
        const bool room = m_queue.size() < limit && m_nBytes + size <= byte_limit;
        if (room) {
            m_queue.push_back(package);
            m_nBytes += size;
        } else if (package->GetType() == kPackageEvent) {
            dropped.push_back(package);
            outcome = Bounded::dropped;
        } else {
            // Nothing left to give way: the results are not being taken.
            dropped.push_back(package);
            while (m_queue.size() > 1) {
                m_nBytes -= m_queue.back()->GetTotalSize();
                dropped.push_back(m_queue.back());
                m_queue.pop_back();
            }
            outcome = Bounded::overflowed;
        }
        const bool events_dropped = !dropped.empty() && outcome != Bounded::overflowed;
        *burst_began = events_dropped && !m_bDropping;
        m_bDropping = m_bDropping || events_dropped;
    }
    for (CPackage *gone : dropped)
        delete gone;
    return outcome;
}

CPackage *CPackageQueue::Front() {
    LOCK_GUARD(guard, &m_csData);
    return m_queue.empty() ? nullptr : m_queue.front();
}

void CPackageQueue::Pop() {
    LOCK_GUARD(guard, &m_csData);
    if (!m_queue.empty()) {
        m_nBytes -= m_queue.front()->GetTotalSize();
        m_queue.pop_front();
    }
    if (m_queue.size() < m_nLimit && m_nBytes < m_nByteLimit)
        m_bDropping = false;
}

size_t CPackageQueue::Size() {
    LOCK_GUARD(guard, &m_csData);
    return m_queue.size();
}
