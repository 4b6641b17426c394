// Bulk upload: a buffer of report records sent as output reports over
// several interfaces of one pad at once, one upload thread per interface,
// all taking the next record from one shared position.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core.h"
#include "inkport_async.h"
#include "inkport_devices.h"
#include "worker_threads.h"
#include "wrappers.h"
#include "wrappthread.h"
#include "wrapunix.h"

namespace {

// One upload thread's share of the work.
struct upload_info {
    unsigned int device;
    unsigned int interface;
    uint32_t data_size;
    uint32_t chunk;  // one record: the report-id slot and one report
    uint32_t sent;   // written by the thread, read after it was joined
    pthread_t thread;
    bool started;
    const uint8_t *data;
};

// The upload threads' exceptions are those of the WriteFile each record's
// report would have gone through.
constexpr const char *kWriteFileName = "WriteFile";

thread_local bool this_is_upload_thread = false;

// Upload threads still running; Deinitialize waits for it to reach 0.
std::mutex interface_routine_count_lock;
std::condition_variable interface_routine_count_changed;
int interface_routine_count = 0;

// Guards start_pos and the end test of the threads.
pthread_mutex_t upload_position_lock = PTHREAD_MUTEX_INITIALIZER;
uint32_t start_pos = 0;

// The counter, the position and the stop flag are library-wide: one upload
// at a time. A second call is refused rather than queued: it may come from a
// callback that the running upload itself set off.
pthread_mutex_t upload_call_lock = PTHREAD_MUTEX_INITIALIZER;

// The exported flag stays a plain int for the application's sake; inside
// the library every access is atomic.
std::atomic_ref<int> terminate_flag() {
    return std::atomic_ref<int>(interface_routine_terminate);
}

void count_threads(int delta) {
    {
        std::lock_guard<std::mutex> g(interface_routine_count_lock);
        interface_routine_count += delta;
    }
    interface_routine_count_changed.notify_all();
}

// The record of the interface this thread sends on: its pad's record is
// addressed directly, the current device stays what the application made it.
ql_device *upload_record(const upload_info *info) {
    PadLookup p = find_pad(info->device);
    ApiSite site{__FILE_NAME__, __LINE__, kWriteFileName};
    if (p.failure != 0) {
        report_pad_lookup(site, p, info->device, info->interface);
        return nullptr;
    }
    ql_device *rec = open_interface(p.pad, info->interface);
    if (rec == nullptr)
        api_fail(site, QLPCEC_INVALID_HANDLE, "%s%d",
                 "Error of set HID output report for device: ", info->device);
    return rec;
}

void *interface_routine(void *arg) {
    auto *info = static_cast<upload_info *>(arg);
    mark_library_thread();
    this_is_upload_thread = true;
    name_worker_thread("inkport-upload");
    const uint32_t chunk = info->chunk;
    uint32_t sent = 0;
    ql_device *rec = upload_record(info);
    while (rec != nullptr) {
        const uint8_t *record = nullptr;
        {
            LOCK_GUARD(guard, &upload_position_lock);
            if (terminate_flag().load() == 1) {
                TRACE_INFO(
                    "Threads was STOP by other thread: ptr_data: %p, start_pos: %d, "
                    "info->data_size: %d ",
                    static_cast<const void *>(info->data), start_pos, info->data_size);
            } else if (info->data_size - start_pos < chunk) {
                TRACE_INFO(
                    "Thread going to EXIT: ptr_data: %p, start_pos: %d, info->data_size: %d ",
                    static_cast<const void *>(info->data), start_pos, info->data_size);
                start_pos = 0;
                terminate_flag().store(1);
            } else {
                record = info->data + start_pos;
                start_pos += chunk;
            }
        }
        if (record == nullptr)
            break;
        int r = core_output_write(rec, record + 1, chunk - 1);
        if (r != 0) {
            // Only this thread stops; its record is lost.
            if (rec->removed)
                r = kCoreRemoved;
            catch_removing_device(r, info->device, info->interface);
            uint32_t h =
                api_fail({__FILE_NAME__, __LINE__, kWriteFileName}, QLPCEC_INVALID_HANDLE, "%s%d",
                         "Error of set HID output report for device: ", info->device);
            api_error(API_SITE, "WriteFile return: %d ", h);
            break;
        }
        sent += chunk;
    }
    info->sent = sent;
    // Last: once the count is 0, Deinitialize may tear the tables down.
    count_threads(-1);
    return nullptr;
}

upload_info *start_upload(unsigned int device, unsigned int interface, const uint8_t *data,
                          uint32_t size, uint32_t chunk) {
    auto *info = static_cast<upload_info *>(Calloc(1, sizeof(upload_info)));
    info->device = device;
    info->interface = interface;
    info->data_size = size;
    info->chunk = chunk;
    info->data = data;
    count_threads(1);
    if (create_worker_thread(&info->thread, interface_routine, info)) {
        info->started = true;
    } else {
        terminate_flag().store(1);  // the other threads stop too
        count_threads(-1);
        api_error(API_SITE, "error of pthread_create() or pthread_attr_destroy()");
    }
    return info;
}

// The checks, the pad made current, the size of a record and the number of
// interfaces: 0, or the handle of the exception that ends the call.
uint32_t prepare_upload(ApiSite site, unsigned int device, const void *src, unsigned int src_length,
                        unsigned int *reply, uint32_t *chunk, unsigned int *count_of_threads) {
    if (uint32_t h = check_buffer(site, reply, true, src, src_length, 1))
        return h;
    if (uint32_t h = switch_to_device(site, device))
        return h;
    int size = core_get_max_packet_size_of_out_endpoint();
    if (size < 0) {
        catch_removing_device(size, device, 0);
        return api_fail(site, QLPCEC_INVALID_HANDLE, "%s%d",
                        "Error of getting max packet size of hid interfaces for device: ", device);
    }
    *chunk = static_cast<uint32_t>(size) + 1;
    if (uint32_t h = GetEndPointCount(device, count_of_threads)) {
        // Its exception says why; a 0 here would read as an empty upload.
        api_error(site, "GetEndPointCount() return non zero");
        return h;
    }
    return 0;
}

// The upload itself; upload_call_lock held. Calls nothing of the
// application's: the threads do, on their own.
uint32_t write_file_buffer(unsigned int device, unsigned int end_point_id_mask, const void *src,
                           unsigned int src_length, uint32_t chunk, unsigned int count_of_threads) {
    terminate_flag().store(0);
    {
        LOCK_GUARD(guard, &upload_position_lock);
        start_pos = 0;
    }
    TRACE_INFO("end_point_id_mask: 0x%02x, interfaces: %u", end_point_id_mask & 0xFF,
               count_of_threads);

    // Threads send straight from one shared copy, no copy per report.
    auto *copy = static_cast<uint8_t *>(Malloc(src_length));
    memcpy(copy, src, src_length);
    auto **records = static_cast<upload_info **>(
        Calloc(count_of_threads > 0 ? count_of_threads : 1, sizeof(void *)));
    auto start = std::chrono::steady_clock::now();
    for (unsigned int i = 0; i < count_of_threads && i < 32; ++i) {
        if ((end_point_id_mask >> i & 1) == 0)
            continue;
        records[i] = start_upload(device, i, copy, src_length, chunk);
        TRACE_INFO("Thread %d was started... ", i);
    }
    // Joined, not polled: once joined, a thread has left the library.
    uint32_t total = 0;
    for (unsigned int i = 0; i < count_of_threads; ++i) {
        upload_info *info = records[i];
        if (info == nullptr)
            continue;
        if (info->started)
            Pthread_join(info->thread, nullptr);
        total += info->sent;
        free(info);
    }
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    double seconds = elapsed.count();
    TRACE_INFO("Time: %f sec", seconds);
    if (seconds > 0)
        TRACE_INFO("Speed: %d kB/s", static_cast<int>(total / seconds / 1024 + 0.5));
    free(records);
    free(copy);
    return total;
}

}  // namespace

void stop_upload_threads() {
    terminate_flag().store(1);
    // From an upload thread's own callback: every other one ends, this one
    // once its callback has returned.
    const int self = this_is_upload_thread ? 1 : 0;
    std::unique_lock<std::mutex> g(interface_routine_count_lock);
    interface_routine_count_changed.wait(g, [self] { return interface_routine_count <= self; });
}

extern "C" {

EXPORT uint32_t WriteFileBuffer(unsigned int device, unsigned int end_point_id_mask,
                                const void *src, unsigned int src_length, unsigned int *reply) {
    TRACE_SCOPE();
    uint32_t chunk = 0;
    unsigned int count_of_threads = 0;
    if (uint32_t h =
            prepare_upload(API_SITE, device, src, src_length, reply, &chunk, &count_of_threads))
        return h;
    if (pthread_mutex_trylock(&upload_call_lock) != 0)
        return API_FAIL(QLPCEC_INVALID_HANDLE, "%s%d",
                        "Error, another upload is running, device: ", device);
    *reply = write_file_buffer(device, end_point_id_mask, src, src_length, chunk, count_of_threads);
    pthread_mutex_unlock(&upload_call_lock);
    return 0;
}

EXPORT uint32_t ReadFileBuffer(unsigned int device, unsigned int end_point_id_mask, void *dst,
                               unsigned int dst_length, unsigned int *reply) {
    TRACE_SCOPE();
    (void)device;
    (void)end_point_id_mask;
    (void)dst;
    (void)dst_length;
    (void)reply;
    api_not_implemented(API_SITE);
    return 0;
}

}  // extern "C"
