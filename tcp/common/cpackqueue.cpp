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

CPackage *CPackageQueue::Front() {
    LOCK_GUARD(guard, &m_csData);
    return m_queue.empty() ? nullptr : m_queue.front();
}

void CPackageQueue::Pop() {
    LOCK_GUARD(guard, &m_csData);
    if (!m_queue.empty())
        m_queue.pop_front();
}

size_t CPackageQueue::Size() {
    LOCK_GUARD(guard, &m_csData);
    return m_queue.size();
}
