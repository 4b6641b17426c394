// Records that the network causes (broken streams, refused clients, failed
// accepts) are rate-limited, one limit per cause: a peer can make the bridge
// fail as often as it likes, but not fill its log. Each cause writes at most
// kRecordsPerSecond records a second; the records held back are counted and
// the next record written says how many there were.
#pragma once

#include <chrono>
#include <mutex>

class RecordLimit {
  public:
    static constexpr unsigned kRecordsPerSecond = 10;

    // True when a record may be written now; *held_back is then the number
    // of records of this cause not written since the last one.
    bool admit(unsigned *held_back);

  private:
    std::mutex lock_;
    std::chrono::steady_clock::time_point window_start_{};
    unsigned in_window_ = 0;
    unsigned held_back_ = 0;
};

// A red error record (as TRACE_ERROR) within the cause's limit.
void limited_error(RecordLimit &limit, const char *file, int line, const char *func,
                   const char *fmt, ...) __attribute__((format(printf, 5, 6)));
// A line on standard output (as "Connection From"), within the cause's limit.
void limited_print(RecordLimit &limit, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

#define TRACE_ERROR_LIMITED(limit, ...) \
    limited_error((limit), __FILE_NAME__, __LINE__, __func__, __VA_ARGS__)
