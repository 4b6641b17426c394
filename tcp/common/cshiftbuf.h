// Cuts a byte stream that arrives in pieces of any size into whole packages.
//
// Pieces are appended behind what is buffered; the package at the front is
// complete once its whole header is in and the fill has reached its
// ulTotalSize. It is then read in place and removed with ResetPackage, which
// moves the surplus (the start of the next package) to the front.
//
// A header whose ulTotalSize is below the header size can never describe a
// package: the stream is broken, and everything buffered is dropped at once.
// An append that would overflow the buffer drops everything as well; the
// stream resynchronises only if the next bytes begin a package. Either
// leaves the buffer marked broken until ClearHeader, so that a bridge that
// can make its peer start afresh (by closing the connection) knows to.
//
// One consumer thread; the lock serialises the single operations.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "packhead.h"

class CShiftBuffer : public PackageHeaderFields<CShiftBuffer> {
  public:
    static constexpr uint64_t kCapacity = 0x200000;
    // An append is refused when kHeadSize + fill + length exceeds this.
    static constexpr uint64_t kAppendLimit = 0x1FFFFF;

    // Without its 2 MiB buffer the object stays usable: always empty, and it
    // refuses appends with a report.
    CShiftBuffer();
    ~CShiftBuffer();
    CShiftBuffer(const CShiftBuffer &) = delete;
    CShiftBuffer &operator=(const CShiftBuffer &) = delete;

    // No lock, no range check (null without a buffer).
    char *GetPointerAtPos(int pos);
    char *GetPointerToData();
    PackHead *GetHeader();
    // Valid bytes buffered, from the first byte on.
    uint64_t GetFill();

    bool IsDataComplete();
    bool IsHeadEmpty();
    // True once bytes were dropped as a broken stream or an overflowing
    // append, until the next ClearHeader.
    bool IsBroken();
    // Drops everything buffered; the buffer is no longer broken.
    void ClearHeader();
    // Removes the package at the front and moves the surplus there.
    void ResetPackage();
    void AppendData(const char *data, int length);
    // Copies bytes behind the header; the fill stays.
    void SetData(const char *data, int length);
    // Copies bytes to pos; the fill becomes pos + length.
    void OverWrite(int pos, const char *data, int length);

  private:
    friend class PackageHeaderFields<CShiftBuffer>;
    // Fields of the package at the front; 0 without a buffer.
    void read_header(size_t offset, void *out, size_t size);
    uint32_t front_total_size_locked() const;
    void clear_locked();
    void drop_broken_front_locked();
    // Reports the refused bytes as an overflow of `what` and drops everything.
    void overflow_locked(const char *what, int length);

    uint64_t m_nFill;
    char *m_pBuffer;
    pthread_mutex_t cs_data_lock;
    bool m_bBroken;
};
