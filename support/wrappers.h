// Diagnostic trace and error reporters shared by every deliverable.
//
// Each deliverable compiles this unit with its own TRACE_PREFIX (for example
// "LIBINKPORT_"), so the switches are <PREFIX>DEBUG, <PREFIX>DEBUG_FUNC and
// <PREFIX>DEBUG_MUTEX.  Switches are read at every record: a long-running
// process follows changes of its environment, and a switched-off record costs
// one getenv() and one atoi().
#pragma once

#include <cstddef>
#include <cstdint>

#ifndef TRACE_PREFIX
#define TRACE_PREFIX "INKPORT_"
#endif

// While non-zero, error records go to syslog instead of stderr.
extern int daemon_proc;

enum class TraceClass { info, func, mutex };
enum class MutexStep { before_lock, after_lock, after_unlock };

bool trace_on(TraceClass cls);

void trace_info(const char *file, int line, const char *func, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
void trace_enter(const char *file, int line, const char *func);
void trace_exit(const char *file, int line, const char *func);
void trace_exit_int(const char *file, int line, const char *func, int value);
void trace_exit_long(const char *file, int line, const char *func, long value);
void trace_exit_ptr(const char *file, int line, const char *func, const void *value);
void trace_exit_bool(const char *file, int line, const char *func, bool value);
void trace_mutex(const char *file, int line, const char *func, MutexStep step, const char *name);
// A red error record; with_errno appends the text of the errno saved on entry.
void trace_error(const char *file, int line, const char *func, bool with_errno, const char *fmt,
                 ...) __attribute__((format(printf, 5, 6)));
// A non-fatal warning in the info colour, shown only under the _DEBUG switch.
void trace_warning(const char *file, int line, const char *func, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

// The five reporters. err_sys, err_quit and err_dump end the process.
void err_ret(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void err_msg(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void err_sys(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void err_quit(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void err_dump(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

void print_current_time();
// Returned buffers are shared: valid until the next call from any thread.
const char *print_bits(uint8_t byte);
const char *print_bytes(const void *data, size_t length);
bool is_it_zero_array(const void *data, size_t length);
// Returns a Malloc'ed buffer the caller frees, or null.
char *load_file(const char *name, unsigned int *size);
int save_file(const char *name, const char *buffer, unsigned int size);

// Local wall-clock time as "%H:%M:%S.mmm" into buf (at least 16 bytes).
void trace_time_field(char *buf, size_t size);
long trace_thread_id();

#define TRACE_INFO(...)                                                 \
    do {                                                                \
        if (trace_on(TraceClass::info))                                 \
            trace_info(__FILE_NAME__, __LINE__, __func__, __VA_ARGS__); \
    } while (0)
#define TRACE_WARNING(...)                                                 \
    do {                                                                   \
        if (trace_on(TraceClass::info))                                    \
            trace_warning(__FILE_NAME__, __LINE__, __func__, __VA_ARGS__); \
    } while (0)
#define TRACE_ERROR(...) trace_error(__FILE_NAME__, __LINE__, __func__, false, __VA_ARGS__)
#define TRACE_ERROR_ERRNO(...) trace_error(__FILE_NAME__, __LINE__, __func__, true, __VA_ARGS__)

#define TRACE_ENTER() trace_enter(__FILE_NAME__, __LINE__, __func__)
#define TRACE_EXIT() trace_exit(__FILE_NAME__, __LINE__, __func__)
#define TRACE_EXIT_INT(v) trace_exit_int(__FILE_NAME__, __LINE__, __func__, (v))
#define TRACE_EXIT_LONG(v) trace_exit_long(__FILE_NAME__, __LINE__, __func__, (v))
#define TRACE_EXIT_PTR(v) trace_exit_ptr(__FILE_NAME__, __LINE__, __func__, (v))
#define TRACE_EXIT_BOOL(v) trace_exit_bool(__FILE_NAME__, __LINE__, __func__, (v))

// Writes "enter." now and "exit." when the scope ends, whichever return is taken.
class TraceScope {
  public:
    TraceScope(const char *file, int line, const char *func)
        : file_(file), line_(line), func_(func) {
        trace_enter(file, line, func);
    }
    ~TraceScope() { trace_exit(file_, line_, func_); }
    TraceScope(const TraceScope &) = delete;
    TraceScope &operator=(const TraceScope &) = delete;

  private:
    const char *file_;
    int line_;
    const char *func_;
};
#define TRACE_SCOPE() TraceScope trace_scope_(__FILE_NAME__, __LINE__, __func__)
