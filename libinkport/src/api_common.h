// State and calling conventions shared by every exported function of the
// pad library: the API device table, exception records, the logging callback,
// and the argument checks and three-way failure report written once.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "export.h"
#include "inkport/inkport.h"

constexpr int kMaxDevices = 16;
constexpr int kMaxInterfaces = 8;
constexpr int kMaxApiDevices = 15;
constexpr int kMaxStringLength = QLPAD_MAX_STRING_LENGTH;

struct receive_info;
struct uni_queue;
typedef void (*InputReportCallback)(void *user_specific, uint32_t device, uint32_t end_point,
                                    const uint8_t *data, uint32_t length);

struct short_interface {
    pthread_mutex_t processing_input_report_callback_lock;
    pthread_mutex_t pirc_routine_thread_lock;
    bool pirc_routine_started;
    pthread_mutex_t info_lock;
    receive_info *receive_info_ptr;
    uni_queue *uqueue;
    InputReportCallback processing_input_report_callback;
    void *processing_input_report_user_specific;
};

struct short_device {
    bool indexed;
    char pad_settings[kMaxStringLength];
    bool used_transport_protocol;
    short_interface interfaces[kMaxInterfaces];
};

struct short_device_list {
    short_device devices[kMaxDevices];
    uint32_t count_of_devices;
    uint16_t current_device;
};

typedef InkportDeviceRemovedCallback DeviceRemovedCallback;

extern "C" {
extern EXPORT pthread_mutex_t dev_list_short_lock;
extern EXPORT pthread_mutex_t gen_thread_mutex_lock;
extern EXPORT pthread_mutex_t exception_list_lock;
extern EXPORT const char *lib_exception_type;
extern EXPORT int interface_routine_terminate;
EXPORT void stop_read_threads(void);
EXPORT uint32_t __deinitialize(void);
}

extern short_device_list *dev_shared_short;
// Serialises the switches of the current device and the monitor's changes
// to the core table (a pad plugged in), and keeps both off the tables while
// Initialize and Deinitialize rebuild or free them: whoever holds it, or
// dev_list_short_lock, sees a table that nobody changes. A switch
// may reopen a pad; dev_list_short_lock is only ever held for a look at the
// table, never across an open or a transfer. Order: gen_thread_mutex_lock,
// dev_switch_lock, dev_list_short_lock.
extern pthread_mutex_t dev_switch_lock;
#define SWITCH_LOCK_GUARD(var) LOCK_GUARD(var, &dev_switch_lock)
extern std::atomic<InkportLoggingCallback> logging_callback;
extern std::atomic<void *> logging_user_specific;

// Marks the calling thread as one of the library's workers (receive,
// callback, upload, the hot-plug monitor). A worker's Initialize or Deinitialize gives way to one
// that is stopping the workers: that one waits for this thread to end.
void mark_library_thread();
// Whether the calling thread is one of the library's workers.
bool on_library_thread();

// Records one exception and returns its handle (1..63, wrapping).
uint16_t exception(const char *type, int code, const char *name, const char *message);
void init_exceptions();
// Forgets every exception record (Deinitialize).
void clear_exceptions();
// Hands one message to the logging callback; a thread that holds a library
// lock hands it over once it has released the last one.
void log_to_callback(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Where a report comes from, so that the trace names the caller's position.
struct ApiSite {
    const char *file;
    int line;
    const char *func;
};
#define API_SITE (ApiSite{__FILE_NAME__, __LINE__, __func__})

// The three-way failure report: red error trace, "error: f(): msg" to the
// logging callback, exception record. Returns the exception handle.
uint32_t api_fail(ApiSite site, int code, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
// Info trace plus "info: f(): msg" to the logging callback.
void api_info(ApiSite site, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Error trace plus "error: f(): msg" to the logging callback, no exception:
// the lines that precede a failure's exception, or failures that a function
// reports by its output instead.
void api_error(ApiSite site, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// The argument checks of a transport, core or codec function, written once.
// Each check carries its fixed text; the first that fails is traced under the
// caller's site and every later one does nothing:
//   if (!ArgCheck(API_SITE).length(len, kArgLen).data(data).handle(h, kNullHid))
//       return -1;
// The arguments of a chain are all evaluated: a check that reads through a
// pointer goes into a second chain, after the one that checks the pointer.
class ArgCheck {
  public:
    explicit ArgCheck(ApiSite site) : site_(site) {}

    // Fails unless `ok`; the text has no conversion.
    ArgCheck &require(bool ok, const char *text) { return ok ? *this : fail("%s", text); }
    // Fails unless `ok`; the text shows `value` with one %ld.
    ArgCheck &require(bool ok, const char *text, long value) {
        return ok ? *this : fail(text, value);
    }
    // Fails unless `ok`; the text shows `pointer` with one %p.
    ArgCheck &require(bool ok, const char *text, const void *pointer) {
        return ok ? *this : fail(text, pointer);
    }

    // A length of at least 1; the text shows it with one %ld.
    ArgCheck &length(long value, const char *text) { return require(value >= 1, text, value); }
    ArgCheck &data(const void *data) { return require(data != nullptr, kArgData, data); }
    // A handle or record that must not be null; the text has no conversion.
    ArgCheck &handle(const void *handle, const char *text) {
        return require(handle != nullptr, text);
    }

    bool ok() const { return ok_; }
    explicit operator bool() const { return ok_; }

    static constexpr const char *kArgData = "Error, input parameter: void *data is %p";

  private:
    // Traces the first failure only.
    ArgCheck &fail(const char *fmt, ...) __attribute__((format(printf, 2, 3)));

    ApiSite site_;
    bool ok_ = true;
};

// Texts that several functions' checks share.
constexpr const char *kArgLen = "Error, input parameter: unsigned int len is %ld";
constexpr const char *kArgDataSize = "Error, input parameter: unsigned int data_size is %ld";
constexpr const char *kArgCurrentDevice = "Error, input parameter: device *current_device is NULL";
constexpr const char *kArgCurrentDevicePointer =
    "Error, input parameter: device *current_device is %p";

#define API_FAIL(code, ...) api_fail(API_SITE, (code), __VA_ARGS__)
#define API_INFO(...) api_info(API_SITE, __VA_ARGS__)

// Argument checks of a function that returns text: 0 when they pass,
// otherwise the handle of the exception recorded for the first failing one.
uint32_t check_text_output(ApiSite site, int code, const void *res_text, int res_text_size,
                           const unsigned int *reply);
// Argument check of a function that returns a number through reply.
uint32_t check_reply(ApiSite site, int code, const unsigned int *reply);
// Argument checks of a byte buffer, `src` of a call that sends, `dst` of one
// that receives: not null, and at least min_length bytes (1, or 2 where the
// report-id slot alone would hold nothing). 0, or the handle of the
// exception (code 258) recorded for the first failing one.
uint32_t check_buffer(ApiSite site, bool sends, const void *buffer, unsigned int length,
                      unsigned int min_length);
// The same, after the check of the call's reply argument.
uint32_t check_buffer(ApiSite site, const unsigned int *reply, bool sends, const void *buffer,
                      unsigned int length, unsigned int min_length);

// A placeholder's report: "Function f() not implemented yet." as an error
// trace and to the logging callback; no exception.
void api_not_implemented(ApiSite site);

// Clears all res_text_size units, copies at most count units of text.
void copy_wide_out(uint16_t *res_text, int res_text_size, const char16_t *text, int count);
