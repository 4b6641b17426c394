#include "wrappers.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include "wrappthread.h"
#include "wrapunix.h"

int daemon_proc = 0;

namespace {

constexpr size_t kMaxLine = 4096;

const char *switch_name(TraceClass cls) {
    switch (cls) {
        case TraceClass::info:
            return TRACE_PREFIX "DEBUG";
        case TraceClass::func:
            return TRACE_PREFIX "DEBUG_FUNC";
        case TraceClass::mutex:
            return TRACE_PREFIX "DEBUG_MUTEX";
    }
    return TRACE_PREFIX "DEBUG";
}

// One fputs per record so that records of different threads interleave only
// line by line.
void emit(const char *text) {
    fputs(text, stdout);
    fflush(stdout);
}

int record_prefix(char *buf, size_t size, const char *colour, const char *file, int line,
                  const char *func) {
    char now[32];
    trace_time_field(now, sizeof now);
    int n = snprintf(buf, size, "%s%ld: %s:%18s:%5d: ", colour, trace_thread_id(), now, file, line);
    (void)func;
    return n < 0 ? 0 : (static_cast<size_t>(n) >= size ? static_cast<int>(size - 1) : n);
}

void err_doit(bool with_errno, int saved_errno, int level, const char *fmt, va_list ap) {
    char buf[kMaxLine];
    vsnprintf(buf, sizeof buf, fmt, ap);
    size_t n = strlen(buf);
    if (with_errno && n < sizeof buf - 1)
        snprintf(buf + n, sizeof buf - n, ": %s", strerror(saved_errno));
    n = strlen(buf);
    if (n < sizeof buf - 1) {
        buf[n] = '\n';
        buf[n + 1] = '\0';
    } else {
        buf[sizeof buf - 2] = '\n';
    }
    if (daemon_proc) {
        syslog(level, "%s", buf);
    } else {
        fflush(stdout);
        fputs(buf, stderr);
        fflush(stderr);
    }
}

void exit_record(const char *file, int line, const char *func, const char *result) {
    if (!trace_on(TraceClass::func))
        return;
    char buf[kMaxLine];
    int n = record_prefix(buf, sizeof buf, "\x1b[34m", file, line, func);
    snprintf(buf + n, sizeof buf - n, "%s(): exit.%s\n\x1b[0m", func, result);
    emit(buf);
}

}  // namespace

long trace_thread_id() {
    return static_cast<long>(syscall(SYS_gettid));
}

void trace_time_field(char *buf, size_t size) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    localtime_r(&tv.tv_sec, &tm);
    char hms[16];
    strftime(hms, sizeof hms, "%H:%M:%S", &tm);
    snprintf(buf, size, "%s.%03ld", hms, static_cast<long>(tv.tv_usec) / 1000);
}

bool trace_on(TraceClass cls) {
    const char *value = getenv(switch_name(cls));
    return value != nullptr && atoi(value) > 0;
}

void trace_info(const char *file, int line, const char *func, const char *fmt, ...) {
    char buf[kMaxLine];
    int n = record_prefix(buf, sizeof buf, "\x1b[32m", file, line, func);
    n += snprintf(buf + n, sizeof buf - n, "info: %s(): ", func);
    if (static_cast<size_t>(n) < sizeof buf) {
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(buf + n, sizeof buf - n, fmt, ap);
        va_end(ap);
    }
    size_t len = strnlen(buf, sizeof buf);
    if (len > sizeof buf - 6)
        len = sizeof buf - 6;
    memcpy(buf + len, "\n\x1b[0m", 6);
    emit(buf);
}

void trace_warning(const char *file, int line, const char *func, const char *fmt, ...) {
    char msg[kMaxLine - 256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    char buf[kMaxLine];
    int n = record_prefix(buf, sizeof buf, "\x1b[32m", file, line, func);
    snprintf(buf + n, sizeof buf - n, "error: %s(): %s\n\x1b[0m", func, msg);
    emit(buf);
}

void trace_enter(const char *file, int line, const char *func) {
    if (!trace_on(TraceClass::func))
        return;
    char buf[kMaxLine];
    int n = record_prefix(buf, sizeof buf, "\x1b[34m", file, line, func);
    snprintf(buf + n, sizeof buf - n, "%s(): enter.\n\x1b[0m", func);
    emit(buf);
}

void trace_exit(const char *file, int line, const char *func) {
    exit_record(file, line, func, "");
}

void trace_exit_int(const char *file, int line, const char *func, int value) {
    char r[64];
    snprintf(r, sizeof r, " returned int: %d.", value);
    exit_record(file, line, func, r);
}

void trace_exit_long(const char *file, int line, const char *func, long value) {
    char r[64];
    snprintf(r, sizeof r, " returned long: %ld.", value);
    exit_record(file, line, func, r);
}

void trace_exit_ptr(const char *file, int line, const char *func, const void *value) {
    char r[64];
    snprintf(r, sizeof r, " returned pointer: %p.", value);
    exit_record(file, line, func, r);
}

void trace_exit_bool(const char *file, int line, const char *func, bool value) {
    char r[64];
    snprintf(r, sizeof r, " returned bool: %s.", value ? "TRUE" : "FALSE");
    exit_record(file, line, func, r);
}

void trace_mutex(const char *file, int line, const char *func, MutexStep step, const char *name) {
    if (!trace_on(TraceClass::mutex))
        return;
    static const char *const kSteps[] = {
        ">>>>>>>>     going to pthread_mutex_lock() -> ",
        "########   was called pthread_mutex_lock() -> ",
        "<<<<<<<< was called pthread_mutex_unlock() -> ",
    };
    char buf[kMaxLine];
    int n = record_prefix(buf, sizeof buf, "\x1b[33m", file, line, func);
    snprintf(buf + n, sizeof buf - n, "%s(): %s%s\n\x1b[0m", func, kSteps[static_cast<int>(step)],
             name);
    emit(buf);
}

void trace_error(const char *file, int line, const char *func, bool with_errno, const char *fmt,
                 ...) {
    int saved = errno;
    char msg[kMaxLine - 256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    fflush(stdout);
    char now[32];
    trace_time_field(now, sizeof now);
    errno = saved;
    if (with_errno)
        err_ret("\x1b[31m%ld: %s: %s:%5d: error: %s(): %s\x1b[0m", trace_thread_id(), now, file,
                line, func, msg);
    else
        err_msg("\x1b[31m%ld: %s: %s:%5d: error: %s(): %s\x1b[0m", trace_thread_id(), now, file,
                line, func, msg);
}

void err_ret(const char *fmt, ...) {
    int saved = errno;
    va_list ap;
    va_start(ap, fmt);
    err_doit(true, saved, LOG_INFO, fmt, ap);
    va_end(ap);
}

void err_msg(const char *fmt, ...) {
    int saved = errno;
    va_list ap;
    va_start(ap, fmt);
    err_doit(false, saved, LOG_INFO, fmt, ap);
    va_end(ap);
}

void err_sys(const char *fmt, ...) {
    int saved = errno;
    va_list ap;
    va_start(ap, fmt);
    err_doit(true, saved, LOG_ERR, fmt, ap);
    va_end(ap);
    exit(1);
}

void err_quit(const char *fmt, ...) {
    int saved = errno;
    va_list ap;
    va_start(ap, fmt);
    err_doit(false, saved, LOG_ERR, fmt, ap);
    va_end(ap);
    exit(1);
}

void err_dump(const char *fmt, ...) {
    int saved = errno;
    va_list ap;
    va_start(ap, fmt);
    err_doit(true, saved, LOG_ERR, fmt, ap);
    va_end(ap);
    abort();
}

void print_current_time() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    localtime_r(&tv.tv_sec, &tm);
    char date[32];
    strftime(date, sizeof date, "%Y/%m/%d %H:%M:%S", &tm);
    if (trace_on(TraceClass::info))
        trace_info(__FILE_NAME__, __LINE__, __func__, "%s(): %s.%03ld", __func__, date,
                   static_cast<long>(tv.tv_usec) / 1000);
}

namespace {
pthread_mutex_t print_bits_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t print_bytes_lock = PTHREAD_MUTEX_INITIALIZER;
char bits_buffer[9];
char bytes_buffer[1024];
}  // namespace

const char *print_bits(uint8_t byte) {
    LOCK_GUARD(guard, &print_bits_lock);
    for (int i = 0; i < 8; ++i)
        bits_buffer[i] = (byte & (0x80 >> i)) ? '1' : '0';
    bits_buffer[8] = '\0';
    return bits_buffer;
}

const char *print_bytes(const void *data, size_t length) {
    LOCK_GUARD(guard, &print_bytes_lock);
    const auto *bytes = static_cast<const uint8_t *>(data);
    size_t pos = 0;
    bytes_buffer[pos++] = '[';
    bytes_buffer[pos++] = ' ';
    for (size_t i = 0; i < length && bytes != nullptr; ++i) {
        if (sizeof bytes_buffer - pos <= 4)
            break;
        snprintf(bytes_buffer + pos, sizeof bytes_buffer - pos, "%02X ", bytes[i]);
        pos += 3;
    }
    if (sizeof bytes_buffer - pos >= 2)
        bytes_buffer[pos++] = ']';
    bytes_buffer[pos] = '\0';
    return bytes_buffer;
}

bool is_it_zero_array(const void *data, size_t length) {
    const auto *bytes = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < length; ++i)
        if (bytes[i] != 0)
            return false;
    return true;
}

char *load_file(const char *name, unsigned int *size) {
    if (name == nullptr || size == nullptr) {
        TRACE_ERROR("Wrong parameters: const char *name is %p, unsigned int *image_size is %p",
                    static_cast<const void *>(name), static_cast<void *>(size));
        return nullptr;
    }
    *size = 0;
    int fd = open(name, O_RDONLY);
    if (fd < 0) {
        TRACE_INFO("Cannot open file: %s", name);
        return nullptr;
    }
    char *buffer = nullptr;
    size_t total = 0;
    for (;;) {
        buffer = static_cast<char *>(Realloc(buffer, total + 4096));
        ssize_t n = Read(fd, buffer + total, 4096);
        if (n <= 0)
            break;
        total += static_cast<size_t>(n);
    }
    if (close(fd) < 0)
        TRACE_INFO("Cannot close file: %s", name);
    if (total == 0) {
        free(buffer);
        return nullptr;
    }
    *size = static_cast<unsigned int>(total);
    return buffer;
}

int save_file(const char *name, const char *buffer, unsigned int size) {
    if (name == nullptr || buffer == nullptr) {
        TRACE_ERROR("Wrong parameters: const char *name is %p, char *buffer is %p",
                    static_cast<const void *>(name), static_cast<const void *>(buffer));
        return -1;
    }
    int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        TRACE_ERROR("Cannot open file %s for writing", name);
        return -1;
    }
    TRACE_INFO("%s was opened for write", name);
    int result = 0;
    if (Write(fd, buffer, size) != static_cast<ssize_t>(size)) {
        TRACE_ERROR("Cannot write buffer to file %s", name);
        result = -1;
    } else {
        TRACE_INFO("file: %s was written successful", name);
    }
    Close(fd);
    return result;
}
