#include "ratelimit.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "wrappers.h"

namespace {

constexpr size_t kMaxMessage = 1024;

// Formats a record if the cause's limit admits it, with the count of the
// records held back before it.
__attribute__((format(printf, 3, 0))) bool admitted_text(RecordLimit &limit, char *message,
                                                         const char *fmt, va_list ap) {
    unsigned held_back = 0;
    if (!limit.admit(&held_back))
        return false;
    vsnprintf(message, kMaxMessage, fmt, ap);
    const size_t used = strnlen(message, kMaxMessage);
    if (held_back > 0 && used < kMaxMessage)
        snprintf(message + used, kMaxMessage - used, " (%u more like it not shown)", held_back);
    return true;
}

}  // namespace

bool RecordLimit::admit(unsigned *held_back) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> guard(lock_);
    if (now - window_start_ >= std::chrono::seconds(1)) {
        window_start_ = now;
        in_window_ = 0;
    }
    if (in_window_ >= kRecordsPerSecond) {
        ++held_back_;
        return false;
    }
    ++in_window_;
    *held_back = held_back_;
    held_back_ = 0;
    return true;
}

void limited_error(RecordLimit &limit, const char *file, int line, const char *func,
                   const char *fmt, ...) {
    char message[kMaxMessage];
    va_list ap;
    va_start(ap, fmt);
    const bool admitted = admitted_text(limit, message, fmt, ap);
    va_end(ap);
    if (admitted)
        trace_error(file, line, func, false, "%s", message);
}

void limited_print(RecordLimit &limit, const char *fmt, ...) {
    char message[kMaxMessage];
    va_list ap;
    va_start(ap, fmt);
    const bool admitted = admitted_text(limit, message, fmt, ap);
    va_end(ap);
    if (admitted) {
        printf("%s\n", message);
        fflush(stdout);
    }
}
