// One package in memory: the header and up to MAX_PACKAGE_DATA_SIZE bytes
// after it, behind its own lock. A package is filled by one thread; the lock
// serialises the accessors, as the queue of the ICA bridge hands packages
// between threads.
#pragma once

#include <pthread.h>
#include <sys/time.h>

#include <cstdint>

#include "bridge_export.h"
#include "packhead.h"

class CPackage : public PackageHeaderFields<CPackage> {
  public:
    CPackage();
    ~CPackage();
    CPackage(const CPackage &) = delete;
    CPackage &operator=(const CPackage &) = delete;

    // No range check: callers pass 0 or kHeadSize.
    char *GetPointerAtPos(int pos);
    char *GetPointerToData();
    // The header in place; its fields are read and written through it.
    PackHead *GetHeader();

    // Zeroes the header; the data bytes stay.
    void ClearHeader();
    // Places length bytes after the header; the header is not touched.
    void SetData(const char *data, int length);
    // Copies length bytes to pos. Bytes reaching MAX_PACKAGE_DATA_SIZE are
    // refused: the header is cleared (ulTotalSize reads 0) and the failure
    // reported, the caller is not told.
    void OverWrite(int pos, const char *data, int length);

  private:
    friend class PackageHeaderFields<CPackage>;
    void read_header(size_t offset, void *out, size_t size);

    int64_t m_nUsedLength;
    char m_Buffer[MAX_PACKAGE_TOTAL_SIZE];
    pthread_mutex_t *m_pLock;
    pthread_mutex_t cs_data_lock = PTHREAD_MUTEX_INITIALIZER;
};

// A piece of bytes without any (no data, or a length below 1) is reported
// as the caller's and ignored: true when that happened.
bool refuse_empty_piece(const char *data, int length, const char *caller);

extern "C" BRIDGE_EXPORT uint32_t GetTimeStamp(void);
// The clock value of a given wall-clock time: seconds * 1000 + milliseconds in
// 32-bit arithmetic, so it wraps every 2^32 ms.
uint32_t timestamp_of(const struct timeval &tv);
