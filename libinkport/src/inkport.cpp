// The frame of the exported API: lifecycle, exception records, result-code
// names, the logging callback and the shared calling conventions.
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "api_common.h"
#include "core.h"
#include "core_table.h"
#include "device_handlers.h"
#include "inkport_async.h"
#include "inkport_hotplug.h"
#include "wchar_tools.h"
#include "worker_threads.h"
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
short_device_list dev_shared_short_storage;

struct CodeName {
    uint32_t code;
    const char16_t *name;
};

constexpr CodeName kCodeNames[] = {
    {QLPCEC_SUCCESS, u"QLPCEC_SUCCESS"},
    {QLPCEC_DLL_NOT_LOADED, u"QLPCEC_DLL_NOT_LOADED"},
    {QLPCEC_EXCEPTION_CAUGHT, u"QLPCEC_EXCEPTION_CAUGHT"},
    {QLPCEC_INVALID_HANDLE, u"QLPCEC_INVALID_HANDLE"},
    {QLPCEC_INVALID_PARAMETER, u"QLPCEC_INVALID_PARAMETER"},
    {QLPCEC_TIMEOUT, u"QLPCEC_TIMEOUT"},
    {QLPCEC_NO_MORE_ELEMENTS, u"QLPCEC_NO_MORE_ELEMENTS"},
    {QLPCEC_UNKNOWN, u"QLPCEC_UNKNOWN"},
};

void copy_text_field(char *dst, const char *src) {
    if (src != nullptr)
        snprintf(dst, kTextField, "%s", src);
}

size_t char16_length(const char16_t *s) {
    size_t n = 0;
    while (s[n] != 0)
        ++n;
    return n;
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

// ---- Initialize and Deinitialize ----
//
// Both hold gen_thread_mutex_lock for their whole run, and Deinitialize
// waits there for every worker thread to end. A worker that asked for the
// lock in one of its callbacks meanwhile would never get it: so the lock is
// granted through a gate, and a worker gives up its own Initialize or
// Deinitialize while the holder is stopping the workers. The outcome is the
// same as if its call had come first.

std::mutex gen_gate_lock;
std::condition_variable gen_gate_changed;
bool gen_owned = false;
bool gen_stopping_workers = false;
thread_local bool library_thread = false;

class GenLock {
  public:
    explicit GenLock(ApiSite site) {
        std::unique_lock<std::mutex> gate(gen_gate_lock);
        gen_gate_changed.wait(
            gate, [] { return !gen_owned || (library_thread && gen_stopping_workers); });
        if (gen_owned) {
            trace_info(site.file, site.line, site.func,
                       "the library is being stopped by another thread");
            return;
        }
        gen_owned = true;
        gate.unlock();
        lock_.emplace(&gen_thread_mutex_lock, "gen_thread_mutex_lock", site.file, site.line,
                      site.func);
    }
    ~GenLock() {
        if (!lock_)
            return;
        lock_.reset();
        std::lock_guard<std::mutex> gate(gen_gate_lock);
        gen_owned = false;
        gen_stopping_workers = false;
        gen_gate_changed.notify_all();
    }
    GenLock(const GenLock &) = delete;
    GenLock &operator=(const GenLock &) = delete;

    bool held() const { return lock_.has_value(); }

  private:
    // Counts the gate too: messages of the run reach the logging callback
    // once the gate is open again.
    HeldLockScope held_;
    std::optional<ScopedMutex> lock_;
};
#define GEN_LOCK(var) GenLock var(API_SITE)

void begin_stopping_workers() {
    std::lock_guard<std::mutex> gate(gen_gate_lock);
    gen_stopping_workers = true;
    gen_gate_changed.notify_all();
}

// Every worker has ended: a library thread that asks for the lock from now
// on is one that Initialize has just started (the monitor), and waits for
// its turn instead of giving way to a stop that is over.
void end_stopping_workers() {
    std::lock_guard<std::mutex> gate(gen_gate_lock);
    gen_stopping_workers = false;
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

void initialize_library(bool keep_callbacks) {
    GEN_LOCK(gen);
    if (!gen.held())
        return;
    InkportLoggingCallback log = logging_callback.load();
    void *log_user = logging_user_specific.load();
    const DeviceHandler removed = device_handler(DeviceEvent::removed);
    const DeviceHandler arrived = device_handler(DeviceEvent::arrived);
    __deinitialize();
    {
        SWITCH_LOCK_GUARD(switching);
        core_initialize();
        // Listening before the search, the monitor hears of every pad plugged
        // in from now on; its thread starts once the table is published.
        hotplug_listen();
        // The table is filled before it is published, so that the search,
        // which opens every pad, holds up no call that only wants the table.
        short_device_list *table = &dev_shared_short_storage;
        int found = looking_for_device(table);
        if (found >= 0)
            API_INFO("Number of devices found: %d\n", found);
        for (auto &dev : table->devices) {
            for (auto &slot : dev.interfaces) {
                Pthread_mutex_init(&slot.processing_input_report_callback_lock, nullptr);
                Pthread_mutex_init(&slot.pirc_routine_thread_lock, nullptr);
                Pthread_mutex_init(&slot.info_lock, nullptr);
                slot.pirc_routine_started = false;
            }
        }
        if (keep_callbacks) {
            logging_user_specific = log_user;
            logging_callback = log;
            set_device_handler(DeviceEvent::removed, removed, false);
            set_device_handler(DeviceEvent::arrived, arrived, false);
        }
        LOCK_GUARD(list, &dev_list_short_lock);
        if (dev_shared_short != nullptr)
            API_INFO("Initialize libinkport device list\n");
        dev_shared_short = table;
    }
    hotplug_start();
}

extern "C" {

EXPORT void stop_read_threads(void) {
    TRACE_SCOPE();
    // No callback that runs meanwhile can start a worker the sweep has passed.
    hold_worker_threads();
    disown_this_receive_thread();
    for (unsigned device = 0; device < kMaxDevices; ++device) {
        for (unsigned ep = 0; ep < kMaxInterfaces; ++ep) {
            stop_thread(device, ep);
            flush_data_packets(device, ep);
        }
    }
    stop_delivery_threads();
    wait_for_threads_letting_go();
    release_worker_threads();
}

EXPORT uint32_t __deinitialize(void) {
    TRACE_SCOPE();
    // From here a worker's own Initialize or Deinitialize gives way: the
    // monitor's handlers included, which hotplug_stop may wait for.
    begin_stopping_workers();
    // Before the other workers: the monitor may be numbering a pad in the
    // tables.
    hotplug_stop();
    hold_worker_threads();
    stop_upload_threads();
    stop_read_threads();
    release_worker_threads();
    end_stopping_workers();
    // No switch runs on the tables while they go.
    SWITCH_LOCK_GUARD(switching);
    {
        LOCK_GUARD(guard, &dev_list_short_lock);
        if (dev_shared_short != nullptr) {
            for (auto &dev : dev_shared_short->devices) {
                for (auto &slot : dev.interfaces) {
                    pthread_mutex_destroy(&slot.processing_input_report_callback_lock);
                    pthread_mutex_destroy(&slot.pirc_routine_thread_lock);
                    pthread_mutex_destroy(&slot.info_lock);
                    destroy_interface_queue(slot);
                }
            }
            memset(dev_shared_short, 0, sizeof *dev_shared_short);
            dev_shared_short = nullptr;
        }
    }
    {
        LOCK_GUARD(guard, &exception_list_lock);
        if (exception_list != nullptr) {
            memset(exception_list, 0, sizeof *exception_list);
            exception_list = nullptr;
        }
    }
    logging_callback = nullptr;
    logging_user_specific = nullptr;
    // The library's threads have ended: a handler still running is on a
    // thread of the application's, or on this one.
    set_device_handler(DeviceEvent::removed, {}, false);
    set_device_handler(DeviceEvent::arrived, {}, false);
    core_uninitialize();
    return 0;
}

EXPORT uint32_t Initialize(void) {
    TRACE_SCOPE();
    initialize_library(false);
    return 0;
}

EXPORT uint32_t Deinitialize(void) {
    TRACE_SCOPE();
    GEN_LOCK(gen);
    if (gen.held())
        __deinitialize();
    return 0;
}

EXPORT bool IsInitialized(void) {
    TRACE_SCOPE();
    LOCK_GUARD(guard, &dev_list_short_lock);
    if (dev_shared_short != nullptr) {
        API_INFO("Was initialized\n");
        return true;
    }
    API_INFO("Is not initialized, use Initialize() first\n");
    return false;
}

EXPORT uint32_t RegisterLoggingCallBackProcedure(void *user_specific,
                                                 InkportLoggingCallback callback) {
    TRACE_SCOPE();
    logging_user_specific = user_specific;
    logging_callback = callback;
    API_INFO("Pointer %p with user_specific %p was set like callback for logging\n",
             reinterpret_cast<void *>(callback), user_specific);
    return 0;
}

EXPORT uint32_t SayHello(const uint16_t *text, uint16_t *res_text, int res_text_size,
                         unsigned int *reply) {
    TRACE_SCOPE();
    if (text == nullptr)
        return API_FAIL(QLPCEC_INVALID_PARAMETER, "Error of input parameters, char *text is NULL");
    if (uint32_t h =
            check_text_output(API_SITE, QLPCEC_INVALID_PARAMETER, res_text, res_text_size, reply))
        return h;

    const auto *wide_text = reinterpret_cast<const char16_t *>(text);
    int length = wchar_length(wide_text);
    API_INFO("wstr_length(text):  %d\n", length);
    char narrow_text[kMaxStringLength] = {};
    int n = length + 1 > 254 ? 254 : length + 1;
    narrow(narrow_text, wide_text, n);
    narrow_text[kMaxStringLength - 1] = '\0';
    API_INFO("wstr_to_astr() populate:  %s\n", narrow_text);

    char composed[2 * kMaxStringLength];
    snprintf(composed, sizeof composed, "someText = \"%s\"", narrow_text);
    int composed_length = static_cast<int>(strlen(composed));
    API_INFO("result string: %s, string size: %d\n", composed, composed_length);
    int buf_len = composed_length + 1 > 255 ? 255 : composed_length + 1;
    API_INFO("buf_len: %d\n", buf_len);

    char16_t pwc[kMaxStringLength] = {};
    API_INFO("sizeof(pwc): %d\n", static_cast<int>(sizeof pwc));
    API_INFO("befor call conversion for string:: %s, string size: %d\n", composed, buf_len);
    widen(pwc, composed, buf_len);
    pwc[kMaxStringLength - 1] = 0;
    API_INFO("after astr_to_wstr() do wstr_length()  %d\n", wchar_length(pwc));
    API_INFO("wchar_t pwc[QLPAD_MAX_STRING_LENGTH]: %s\n", composed);

    int count = buf_len < res_text_size ? buf_len : res_text_size;
    copy_wide_out(res_text, res_text_size, pwc, count);
    *reply = static_cast<unsigned int>(count);
    API_INFO("res_text:  %s, *reply: %d\n", composed, count);
    return 0;
}

EXPORT uint32_t TranslateErrorCode(unsigned int code, uint16_t *res_text, int res_text_size,
                                   unsigned int *reply) {
    TRACE_SCOPE();
    if (uint32_t h = check_text_output(API_SITE, -1, res_text, res_text_size, reply))
        return h;
    const char16_t *name = u"QLPCEC_UNKNOWN";
    for (const auto &entry : kCodeNames) {
        if (entry.code == code) {
            name = entry.name;
            break;
        }
    }
    int n = static_cast<int>(char16_length(name)) + 1;
    if (n > res_text_size)
        n = res_text_size;
    copy_wide_out(res_text, res_text_size, name, n);
    *reply = static_cast<unsigned int>(n);
    return 0;
}

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

EXPORT uint32_t GetDeviceCount(unsigned int *reply) {
    TRACE_SCOPE();
    if (uint32_t h = check_reply(API_SITE, QLPCEC_INVALID_PARAMETER, reply))
        return h;
    LOCK_GUARD(guard, &dev_list_short_lock);
    return dev_shared_short == nullptr ? 0 : dev_shared_short->count_of_devices;
}

EXPORT uint32_t LogDeviceStatistics(unsigned int device) {
    TRACE_SCOPE();
    (void)device;
    api_not_implemented(API_SITE);
    return 0;
}

}  // extern "C"
