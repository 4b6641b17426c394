#include "cshiftbuf.h"

#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <new>

#include "cpackage.h"
#include "ratelimit.h"
#include "wrappers.h"
#include "wrappthread.h"
#include "wrapunix.h"

CShiftBuffer::CShiftBuffer() : m_nFill(0), m_pBuffer(nullptr), m_bBroken(false) {
    TRACE_SCOPE();
    Pthread_mutex_init(&cs_data_lock, nullptr);
    {
        LOCK_GUARD(guard, &cs_data_lock);
        m_nFill = 0;
        // One attempt through the plain allocator: a bridge without its
        // reassembly buffer loses its inbound calls, not the host process.
        m_pBuffer = static_cast<char *>(wrap_hooks::malloc_fn(kCapacity));
        if (m_pBuffer != nullptr) {
            memset(m_pBuffer, 0, kCapacity);
            new (m_pBuffer) PackHead;
        } else {
            TRACE_ERROR("cannot allocate the %" PRIu64
                        "-byte reassembly buffer: inbound data will be refused",
                        kCapacity);
        }
    }
    ClearHeader();
}

CShiftBuffer::~CShiftBuffer() {
    TRACE_SCOPE();
    {
        LOCK_GUARD(guard, &cs_data_lock);
        free(m_pBuffer);
        m_pBuffer = nullptr;
        m_nFill = 0;
    }
    pthread_mutex_destroy(&cs_data_lock);
}

uint32_t CShiftBuffer::front_total_size_locked() const {
    return m_pBuffer != nullptr ? header_total_size(m_pBuffer) : 0;
}

void CShiftBuffer::clear_locked() {
    m_nFill = 0;
    if (m_pBuffer != nullptr)
        memset(m_pBuffer, 0, kHeadSize);
}

void CShiftBuffer::drop_broken_front_locked() {
    if (m_nFill < static_cast<uint64_t>(kHeadSize))
        return;
    uint32_t total = front_total_size_locked();
    if (total >= static_cast<uint32_t>(kHeadSize))
        return;
    // Such a package would be handed on empty and then stay at the front for ever.
    static RecordLimit broken_records;
    TRACE_ERROR_LIMITED(broken_records,
                        "broken stream: package size %u is below the header size, %" PRIu64
                        " buffered bytes dropped",
                        total, m_nFill);
    clear_locked();
    m_bBroken = true;
}

void CShiftBuffer::overflow_locked(const char *what, int length) {
    static RecordLimit overflow_records;
    TRACE_ERROR_LIMITED(overflow_records, "%s::error buffer overflow --> pos =%d , length=%d", what,
                        static_cast<int>(m_nFill), length);
    clear_locked();
    m_bBroken = true;
}

char *CShiftBuffer::GetPointerAtPos(int pos) {
    return m_pBuffer != nullptr ? m_pBuffer + pos : nullptr;
}

char *CShiftBuffer::GetPointerToData() {
    LOCK_GUARD(guard, &cs_data_lock);
    return m_pBuffer != nullptr ? m_pBuffer + kHeadSize : nullptr;
}

PackHead *CShiftBuffer::GetHeader() {
    LOCK_GUARD(guard, &cs_data_lock);
    return m_pBuffer != nullptr ? std::launder(reinterpret_cast<PackHead *>(m_pBuffer)) : nullptr;
}

void CShiftBuffer::read_header(size_t offset, void *out, size_t size) {
    LOCK_GUARD(guard, &cs_data_lock);
    if (m_pBuffer != nullptr)
        memcpy(out, m_pBuffer + offset, size);
}

uint64_t CShiftBuffer::GetFill() {
    LOCK_GUARD(guard, &cs_data_lock);
    return m_nFill;
}

bool CShiftBuffer::IsDataComplete() {
    LOCK_GUARD(guard, &cs_data_lock);
    // Fewer than kHeadSize bytes never count: the size field may not be in
    // yet, and stale bytes of an earlier package stand where it will be.
    return m_nFill >= static_cast<uint64_t>(kHeadSize) && m_nFill >= front_total_size_locked();
}

bool CShiftBuffer::IsHeadEmpty() {
    LOCK_GUARD(guard, &cs_data_lock);
    return m_nFill == 0;
}

void CShiftBuffer::ClearHeader() {
    LOCK_GUARD(guard, &cs_data_lock);
    clear_locked();
    m_bBroken = false;
}

bool CShiftBuffer::IsBroken() {
    LOCK_GUARD(guard, &cs_data_lock);
    return m_bBroken;
}

void CShiftBuffer::ResetPackage() {
    TRACE_SCOPE();
    LOCK_GUARD(guard, &cs_data_lock);
    if (m_pBuffer == nullptr)
        return;
    uint64_t total = front_total_size_locked();
    if (m_nFill < static_cast<uint64_t>(kHeadSize) || m_nFill <= total) {
        clear_locked();
        return;
    }
    uint64_t surplus = m_nFill - total;
    memmove(m_pBuffer, m_pBuffer + total, surplus);
    m_nFill = surplus;
    drop_broken_front_locked();
}

void CShiftBuffer::AppendData(const char *data, int length) {
    TRACE_SCOPE();
    if (refuse_empty_piece(data, length, __func__))
        return;
    LOCK_GUARD(guard, &cs_data_lock);
    if (m_pBuffer == nullptr) {
        TRACE_ERROR("no reassembly buffer: %d bytes refused", length);
        return;
    }
    if (kHeadSize + m_nFill + static_cast<uint64_t>(length) > kAppendLimit) {
        overflow_locked("AppendData", length);
        return;
    }
    memcpy(m_pBuffer + m_nFill, data, static_cast<size_t>(length));
    m_nFill += static_cast<uint64_t>(length);
    drop_broken_front_locked();
}

void CShiftBuffer::SetData(const char *data, int length) {
    TRACE_SCOPE();
    if (refuse_empty_piece(data, length, __func__))
        return;
    LOCK_GUARD(guard, &cs_data_lock);
    if (m_pBuffer == nullptr || static_cast<uint64_t>(length) + kHeadSize > kAppendLimit) {
        overflow_locked("SetData", length);
        return;
    }
    memcpy(m_pBuffer + kHeadSize, data, static_cast<size_t>(length));
}

void CShiftBuffer::OverWrite(int pos, const char *data, int length) {
    TRACE_SCOPE();
    if (refuse_empty_piece(data, length, __func__))
        return;
    LOCK_GUARD(guard, &cs_data_lock);
    // length must stay below the capacity less the header size, counted from pos.
    constexpr int64_t kOverWriteLimit = static_cast<int64_t>(kCapacity) - kHeadSize;
    if (m_pBuffer == nullptr || pos < 0 || length >= kOverWriteLimit - pos) {
        overflow_locked("OverWrite", length);
        return;
    }
    memcpy(m_pBuffer + pos, data, static_cast<size_t>(length));
    m_nFill = static_cast<uint64_t>(pos) + static_cast<uint64_t>(length);
    drop_broken_front_locked();
}
