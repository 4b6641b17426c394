// The shared calling conventions of the exported API: the state every API
// unit shares (the API device table, its locks, the logging callback), the
// exception records and their queries, the logging of messages that wait for
// the locks to go, and the argument checks and three-way failure report.
#include "api_common.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "wchar_tools.h"
#include "wrappers.h"
#include "wrappthread.h"

namespace {

constexpr int kExceptionSlots = 64;
constexpr int kTextField = 256;
constexpr size_t kLogBuffer = 4096;

struct exception_record {
    char type[kTextField];
    int32_t code;
    char name[kTextField];
    char message[kTextField];
    bool used;
};

struct exception_table {
    exception_record records[kExceptionSlots];
    uint32_t started;
    uint32_t size;
    exception_record *current;
    uint16_t current_index;
};

exception_table exception_storage;
exception_table *exception_list = nullptr;
thread_local bool library_thread = false;

void copy_text_field(char *dst, const char *src) {
    if (src != nullptr)
        snprintf(dst, kTextField, "%s", src);
}

void format_message(char *buf, size_t size, const char *fmt, va_list ap) {
    vsnprintf(buf, size, fmt, ap);
}

// The first two ways of a failure report: the error trace and the plain
// message to the logging callback. Leaves the composed message in `message`.
void report_error(ApiSite site, char (&message)[kTextField], const char *fmt, va_list ap) {
    format_message(message, sizeof message, fmt, ap);
    trace_error(site.file, site.line, site.func, false, "%s", message);
    log_to_callback("error: %s(): %s", site.func, message);
}

// Which field of a record an exception query returns, and whether its
// *reply counts the terminator.
enum class ExceptionField { type, name, message };

constexpr const char *kBadExceptionHandle =
    "Error of input parameters, incorrect unsigned int exception_handle";

// The handle's range, checked before anything else.
uint32_t check_exception_handle(ApiSite site, unsigned int handle) {
    return handle < kExceptionSlots ? 0 : api_fail(site, -1, "%s", kBadExceptionHandle);
}

// Copies the record of a checked handle. 0 with *found set, 0 with *found
// clear when the table is missing (traced), or the handle of the exception
// that reports a handle whose record holds none.
uint32_t copy_exception(ApiSite site, unsigned int handle, exception_record *out, bool *found) {
    *found = false;
    init_exceptions();
    LOCK_GUARD(guard, &exception_list_lock);
    if (exception_list == nullptr) {
        TRACE_ERROR("Internal Error: Exceptions subsystem is not initialized");
        return 0;
    }
    const exception_record &rec = exception_list->records[handle];
    if (!rec.used) {
        guard.unlock();
        return api_fail(site, -1, "%s", kBadExceptionHandle);
    }
    *out = rec;
    *found = true;
    return 0;
}

uint32_t query_exception_text(ApiSite site, unsigned int handle, ExceptionField field,
                              uint16_t *res_text, int res_text_size, unsigned int *reply) {
    if (uint32_t h = check_exception_handle(site, handle))
        return h;
    if (uint32_t h = check_text_output(site, -1, res_text, res_text_size, reply))
        return h;
    exception_record rec;
    bool found = false;
    if (uint32_t h = copy_exception(site, handle, &rec, &found); h != 0 || !found)
        return h;
    char text[kTextField];
    const char *src = field == ExceptionField::type   ? rec.type
                      : field == ExceptionField::name ? rec.name
                                                      : rec.message;
    memcpy(text, src, sizeof text);
    text[kTextField - 1] = '\0';
    int n = static_cast<int>(strlen(text)) + (field == ExceptionField::type ? 0 : 1);
    if (n > 254)
        n = 254;
    char16_t wide[kTextField] = {};
    widen(wide, text, n);
    int count = n < res_text_size ? n : res_text_size;
    copy_wide_out(res_text, res_text_size, wide, count);
    *reply = static_cast<unsigned int>(count);
    return 0;
}

// ---- Messages that wait for the locks to go ----

struct DeferredLog {
    InkportLoggingCallback callback;
    void *user_specific;
    uint16_t text[kMaxStringLength];
};

// A thread's messages composed while it held a library lock. Bounded: a
// thread that held its locks for longer than this many messages loses the
// rest.
constexpr size_t kMaxDeferredLogs = 1024;
thread_local std::vector<DeferredLog> deferred_logs;

void flush_deferred_logs() {
    // A callback may log again; those messages come in a batch of their own.
    while (!deferred_logs.empty()) {
        std::vector<DeferredLog> batch;
        batch.swap(deferred_logs);
        for (DeferredLog &d : batch)
            d.callback(d.user_specific, d.text);
    }
}

}  // namespace

short_device_list *dev_shared_short = nullptr;
pthread_mutex_t dev_switch_lock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<InkportLoggingCallback> logging_callback{nullptr};
std::atomic<void *> logging_user_specific{nullptr};

extern "C" {
EXPORT pthread_mutex_t dev_list_short_lock = PTHREAD_MUTEX_INITIALIZER;
EXPORT pthread_mutex_t gen_thread_mutex_lock = PTHREAD_MUTEX_INITIALIZER;
EXPORT pthread_mutex_t exception_list_lock = PTHREAD_MUTEX_INITIALIZER;
EXPORT const char *lib_exception_type = "libinkport";
EXPORT int interface_routine_terminate = 0;
}

void init_exceptions() {
    LOCK_GUARD(guard, &exception_list_lock);
    if (exception_list == nullptr) {
        exception_list = &exception_storage;
        memset(exception_list, 0, sizeof *exception_list);
        exception_list->size = sizeof *exception_list;
    }
}

uint16_t exception(const char *type, int code, const char *name, const char *message) {
    init_exceptions();
    LOCK_GUARD(guard, &exception_list_lock);
    if (exception_list == nullptr) {
        TRACE_ERROR("Internal Error: Exceptions subsystem is not initialized");
        return 0;
    }
    exception_table &t = *exception_list;
    if (t.current == nullptr) {
        t.current = &t.records[0];
        t.records[0].used = true;
        t.current_index = 0;
        t.started = 1;
    }
    t.current_index = t.current_index == kExceptionSlots - 1 ? 1 : t.current_index + 1;
    exception_record &rec = t.records[t.current_index];
    t.current = &rec;
    memset(&rec, 0, sizeof rec);
    rec.used = true;
    copy_text_field(rec.type, type);
    rec.code = code;
    copy_text_field(rec.name, name);
    copy_text_field(rec.message, message);
    return t.current_index;
}

void clear_exceptions() {
    LOCK_GUARD(guard, &exception_list_lock);
    if (exception_list != nullptr) {
        memset(exception_list, 0, sizeof *exception_list);
        exception_list = nullptr;
    }
}

void mark_library_thread() {
    library_thread = true;
}

bool on_library_thread() {
    return library_thread;
}

void log_to_callback(const char *fmt, ...) {
    InkportLoggingCallback cb = logging_callback.load();
    if (cb == nullptr)
        return;
    char text[kLogBuffer];
    va_list ap;
    va_start(ap, fmt);
    format_message(text, sizeof text, fmt, ap);
    va_end(ap);
    DeferredLog log{cb, logging_user_specific.load(), {}};
    size_t n = strnlen(text, kMaxStringLength - 1);
    widen(reinterpret_cast<char16_t *>(log.text), text, static_cast<int>(n));
    log.text[n] = 0;
    if (held_lock_count() == 0) {
        cb(log.user_specific, log.text);
        return;
    }
    // The callback may call the library: it runs once this thread's last
    // library lock is released.
    set_locks_released_hook(flush_deferred_logs);
    if (deferred_logs.size() < kMaxDeferredLogs)
        deferred_logs.push_back(log);
}

uint32_t api_fail(ApiSite site, int code, const char *fmt, ...) {
    char message[kTextField];
    va_list ap;
    va_start(ap, fmt);
    report_error(site, message, fmt, ap);
    va_end(ap);
    return exception(lib_exception_type, code, site.func, message);
}

void api_error(ApiSite site, const char *fmt, ...) {
    char message[kTextField];
    va_list ap;
    va_start(ap, fmt);
    report_error(site, message, fmt, ap);
    va_end(ap);
}

void api_info(ApiSite site, const char *fmt, ...) {
    char message[kLogBuffer];
    va_list ap;
    va_start(ap, fmt);
    format_message(message, sizeof message, fmt, ap);
    va_end(ap);
    if (trace_on(TraceClass::info)) {
        // The trace record ends its own line; the plain message keeps its newline.
        size_t n = strlen(message);
        bool newline = n > 0 && message[n - 1] == '\n';
        trace_info(site.file, site.line, site.func, "%.*s", static_cast<int>(newline ? n - 1 : n),
                   message);
    }
    log_to_callback("info: %s(): %s", site.func, message);
}

uint32_t check_text_output(ApiSite site, int code, const void *res_text, int res_text_size,
                           const unsigned int *reply) {
    if (res_text == nullptr)
        return api_fail(site, code, "Error of input parameters, char *res_text is NULL");
    if (res_text_size < 1)
        return api_fail(site, code, "%s%d", "Error of input parameters, int res_text_size is ",
                        res_text_size);
    return check_reply(site, code, reply);
}

uint32_t check_reply(ApiSite site, int code, const unsigned int *reply) {
    if (reply == nullptr)
        return api_fail(site, code, "Error of input parameters, unsigned int *reply is NULL");
    return 0;
}

ArgCheck &ArgCheck::fail(const char *fmt, ...) {
    if (!ok_)
        return *this;
    char text[kTextField];
    va_list ap;
    va_start(ap, fmt);
    format_message(text, sizeof text, fmt, ap);
    va_end(ap);
    trace_error(site_.file, site_.line, site_.func, false, "%s", text);
    ok_ = false;
    return *this;
}

uint32_t check_buffer(ApiSite site, bool sends, const void *buffer, unsigned int length,
                      unsigned int min_length) {
    const char *name = sends ? "src" : "dst";
    if (buffer == nullptr)
        return api_fail(site, QLPCEC_INVALID_PARAMETER,
                        "Error of input parameters, const void *%s is NULL", name);
    if (length < min_length)
        return api_fail(site, QLPCEC_INVALID_PARAMETER,
                        "Error of input parameters, const unsigned int %s_length is %s", name,
                        min_length > 1 ? "<= 1" : "0");
    return 0;
}

uint32_t check_buffer(ApiSite site, const unsigned int *reply, bool sends, const void *buffer,
                      unsigned int length, unsigned int min_length) {
    if (uint32_t h = check_reply(site, QLPCEC_INVALID_PARAMETER, reply))
        return h;
    return check_buffer(site, sends, buffer, length, min_length);
}

void api_not_implemented(ApiSite site) {
    api_error(site, "Function %s() not implemented yet.", site.func);
}

void copy_wide_out(uint16_t *res_text, int res_text_size, const char16_t *text, int count) {
    memset(res_text, 0, sizeof(uint16_t) * static_cast<size_t>(res_text_size));
    if (count > res_text_size)
        count = res_text_size;
    for (int i = 0; i < count; ++i)
        res_text[i] = static_cast<uint16_t>(text[i]);
}

extern "C" {

EXPORT uint32_t GetExceptionType(unsigned int exception_handle, uint16_t *res_text,
                                 int res_text_size, unsigned int *reply) {
    TRACE_SCOPE();
    return query_exception_text(API_SITE, exception_handle, ExceptionField::type, res_text,
                                res_text_size, reply);
}

EXPORT uint32_t GetExceptionName(unsigned int exception_handle, uint16_t *res_text,
                                 int res_text_size, unsigned int *reply) {
    TRACE_SCOPE();
    return query_exception_text(API_SITE, exception_handle, ExceptionField::name, res_text,
                                res_text_size, reply);
}

EXPORT uint32_t GetExceptionMessage(unsigned int exception_handle, uint16_t *res_text,
                                    int res_text_size, unsigned int *reply) {
    TRACE_SCOPE();
    return query_exception_text(API_SITE, exception_handle, ExceptionField::message, res_text,
                                res_text_size, reply);
}

EXPORT uint32_t GetExceptionCode(unsigned int exception_handle, unsigned int *reply) {
    TRACE_SCOPE();
    if (uint32_t h = check_exception_handle(API_SITE, exception_handle))
        return h;
    if (uint32_t h = check_reply(API_SITE, -1, reply))
        return h;
    exception_record rec;
    bool found = false;
    if (uint32_t h = copy_exception(API_SITE, exception_handle, &rec, &found); h != 0 || !found)
        return h;
    *reply = static_cast<unsigned int>(rec.code);
    API_INFO("OUTPUT: *reply: %d\n", rec.code);
    return 0;
}

}  // extern "C"
