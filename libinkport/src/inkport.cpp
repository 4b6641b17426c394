// The frame of the exported API: Initialize and Deinitialize with the gate
// that keeps them apart, the logging callback's registration, result-code
// names, and the calls that start a fresh search.
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
#include "inkport_devices.h"
#include "inkport_hotplug.h"
#include "wchar_tools.h"
#include "worker_threads.h"
#include "wrappers.h"
#include "wrappthread.h"

namespace {

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

size_t char16_length(const char16_t *s) {
    size_t n = 0;
    while (s[n] != 0)
        ++n;
    return n;
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

class GenLock {
  public:
    explicit GenLock(ApiSite site) {
        std::unique_lock<std::mutex> gate(gen_gate_lock);
        gen_gate_changed.wait(
            gate, [] { return !gen_owned || (on_library_thread() && gen_stopping_workers); });
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

// Initialize, with the application's logging callback and device handlers
// kept when `keep_callbacks` (a search the application did not ask for).
static void initialize_library(bool keep_callbacks) {
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
    clear_exceptions();
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

EXPORT uint32_t EnumerateDevicesStart(unsigned int *reply) {
    TRACE_SCOPE();
    if (uint32_t h = check_reply(API_SITE, QLPCEC_INVALID_PARAMETER, reply))
        return h;
    // An empty table: a fresh search, for pads plugged in since. The
    // application did not ask for a reset, so its callbacks survive it.
    if (api_device_count() == 0)
        initialize_library(true);
    *reply = enumerate_from(API_SITE, 1, true);
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
