#include "cpackage.h"

#include <cstring>
#include <new>

#include "wrappers.h"
#include "wrappthread.h"

// Whatever m_pLock points at, the traces call it by the name it has always had.
#define PACKAGE_LOCK(var) \
    ScopedMutex var(m_pLock, "cs_data_lock", __FILE_NAME__, __LINE__, __func__)

CPackage::CPackage() : m_nUsedLength(0), m_pLock(nullptr) {
    TRACE_SCOPE();
    TRACE_INFO("New memory pHead:[%p]..", static_cast<void *>(m_Buffer));
    memset(m_Buffer, 0, sizeof m_Buffer);
    // The header is an object of its own at the start of the buffer, so that
    // GetHeader's pointer is one to a live PackHead.
    new (m_Buffer) PackHead;
    m_pLock = &cs_data_lock;
    ClearHeader();
}

CPackage::~CPackage() {
    TRACE_SCOPE();
    memset(m_Buffer, 0, sizeof m_Buffer);
    m_pLock = nullptr;
}

char *CPackage::GetPointerAtPos(int pos) {
    PACKAGE_LOCK(guard);
    return m_Buffer + pos;
}

char *CPackage::GetPointerToData() {
    PACKAGE_LOCK(guard);
    return m_Buffer + kHeadSize;
}

PackHead *CPackage::GetHeader() {
    PACKAGE_LOCK(guard);
    return std::launder(reinterpret_cast<PackHead *>(m_Buffer));
}

void CPackage::read_header(size_t offset, void *out, size_t size) {
    PACKAGE_LOCK(guard);
    memcpy(out, m_Buffer + offset, size);
}

void CPackage::ClearHeader() {
    PACKAGE_LOCK(guard);
    m_nUsedLength = 0;
    memset(m_Buffer, 0, kHeadSize);
}

void CPackage::SetData(const char *data, int length) {
    TRACE_SCOPE();
    if (refuse_empty_piece(data, length, __func__))
        return;
    // length + headSize must stay below MAX_PACKAGE_TOTAL_SIZE; written so
    // that a huge length cannot overflow the sum.
    if (length > MAX_PACKAGE_TOTAL_SIZE - 1 - kHeadSize) {
        ClearHeader();
        TRACE_ERROR("error buffer overflow, length:[%d] + headSize >= MAX_PACKAGE_TOTAL_SIZE",
                    length);
        return;
    }
    PACKAGE_LOCK(guard);
    memcpy(m_Buffer + kHeadSize, data, static_cast<size_t>(length));
    m_nUsedLength = length + kHeadSize;
}

void CPackage::OverWrite(int pos, const char *data, int length) {
    TRACE_SCOPE();
    if (refuse_empty_piece(data, length, __func__))
        return;
    // The bound is MAX_PACKAGE_DATA_SIZE also when the bytes include a
    // header; a negative position is as far out of bounds as a long length.
    if (pos < 0 || static_cast<int64_t>(pos) + length >= MAX_PACKAGE_DATA_SIZE) {
        ClearHeader();
        TRACE_ERROR("error buffer overflow, length:[%d] >= MAX_PACKAGE_DATA_SIZE - pos", length);
        return;
    }
    char *destination = GetPointerAtPos(pos);
    memcpy(destination, data, static_cast<size_t>(length));
    PACKAGE_LOCK(guard);
    m_nUsedLength = pos + length;
}

bool refuse_empty_piece(const char *data, int length, const char *caller) {
    if (length > 0 && data != nullptr)
        return false;
    trace_error(__FILE_NAME__, __LINE__, caller, false,
                "(length:[%d] <= 0) || (pbuffer:[%p] == NULL)", length,
                static_cast<const void *>(data));
    return true;
}

uint32_t timestamp_of(const struct timeval &tv) {
    return static_cast<uint32_t>(tv.tv_sec) * 1000u + static_cast<uint32_t>(tv.tv_usec / 1000);
}

extern "C" uint32_t GetTimeStamp(void) {
    // Wall clock on purpose: the stamps leave the process in package headers.
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return timestamp_of(tv);
}
