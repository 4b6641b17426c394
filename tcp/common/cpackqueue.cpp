#include "cpackqueue.h"

#include <new>

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
}

size_t CPackageQueue::PushBounded(CPackage *package, size_t limit, bool *burst_began) {
    *burst_began = false;
    CPackage *dropped = nullptr;
    {
        LOCK_GUARD(guard, &m_csData);
        m_nLimit = limit;
        if (m_queue.size() < limit) {
            m_queue.push_back(package);
            return 0;
        }
        // Never the front: the consumer may be writing it right now.
        auto oldest_event = m_queue.end();
        for (auto it = m_queue.begin() + (m_queue.empty() ? 0 : 1); it != m_queue.end(); ++it)
            if ((*it)->GetType() == kPackageEvent) {
                oldest_event = it;
                break;
            }
        if (oldest_event != m_queue.end()) {
            dropped = *oldest_event;
            m_queue.erase(oldest_event);
            m_queue.push_back(package);
        } else if (package->GetType() == kPackageEvent) {
            dropped = package;
        } else {
            m_queue.push_back(package);
        }
        *burst_began = dropped != nullptr && !m_bDropping;
        m_bDropping = m_bDropping || dropped != nullptr;
    }
    delete dropped;
    return dropped != nullptr ? 1 : 0;
}

CPackage *CPackageQueue::Front() {
    LOCK_GUARD(guard, &m_csData);
    return m_queue.empty() ? nullptr : m_queue.front();
}

void CPackageQueue::Pop() {
    LOCK_GUARD(guard, &m_csData);
    if (!m_queue.empty())
        m_queue.pop_front();
    if (m_queue.size() < m_nLimit)
        m_bDropping = false;
}

size_t CPackageQueue::Size() {
    LOCK_GUARD(guard, &m_csData);
    return m_queue.size();
}
