#include "hid.h"

#include <hidapi.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <optional>

#include "ssp_transport_token.h"
#include "transport.h"
#include "wrappers.h"
#include "wrappthread.h"
#include "wrapunix.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kDeadlineMs = 1000;
constexpr int kHidPacketSize = 64;
constexpr int kType1InputSize = 20;
constexpr useconds_t kSspPollPauseUs = 100;

struct SearchEntry {
    uint32_t vendor_id;
    uint32_t product_id;
};

// Every known model under each of its vendors, ended by a zero pair.
constexpr auto build_search_list() {
    struct List {
        SearchEntry entries[std::size(kPadVendors) * std::size(kPadProducts) +
                            std::size(kOldPadProducts) + 1];
    } list{};
    size_t n = 0;
    for (uint32_t v : kPadVendors)
        for (const pad_product &p : kPadProducts)
            list.entries[n++] = {v, p.product_id};
    for (const pad_product &p : kOldPadProducts)
        list.entries[n++] = {kOldPadVendor, p.product_id};
    list.entries[n] = {0, 0};
    return list;
}
constexpr auto hid_device_list = build_search_list();

char hidapi_error_buffer[256];

// hidapi hands out 32-bit wide strings; the records keep 8-bit text.
void narrow_usb_string(char *dst, const wchar_t *src) {
    memset(dst, 0, kMaxStringLength);
    int n = 0;
    while (n < kMaxStringLength && src[n] != L'\0' && wctob(static_cast<wint_t>(src[n])) != 0)
        ++n;
    n = n + 1 > kMaxStringLength - 2 ? kMaxStringLength - 2 : n + 1;
    for (int i = 0; i < n; ++i) {
        int c = wctob(static_cast<wint_t>(src[i]));
        dst[i] = c == EOF ? static_cast<char>(0xFF) : static_cast<char>(c);
    }
}

// The pause doubles from 200 us; the retry loops give up once 1000 ms have
// passed since their first attempt.
struct RetryClock {
    Clock::time_point start = Clock::now();
    useconds_t pause = 100;
    bool wait_again() {
        pause *= 2;
        usleep(pause);
        return elapsed_ms(start) < kDeadlineMs;
    }
};

constexpr const char *kNullHid = "Error, input parameter: hid_device *hid is NULL";

bool check_transfer_args(const char *func, hid_device *handle, const void *data, unsigned int len) {
    return ArgCheck({__FILE_NAME__, __LINE__, func})
        .length(len, kArgLen)
        .data(data)
        .handle(handle, kNullHid)
        .ok();
}

// Feature and output reports both travel as a Feature SET_REPORT with report
// id 0 on the control endpoint.
int send_report(const char *func, hid_device *handle, const void *data, unsigned int len) {
    if (!check_transfer_args(func, handle, data, len))
        return -1;
    auto *buffer = static_cast<unsigned char *>(Calloc(len + 1, 1));
    memcpy(buffer + 1, data, len);
    size_t offset = 0;
    RetryClock clock;
    int res = 0;
    for (;;) {
        res = hid_send_feature_report(handle, buffer + offset, len + 1 - offset);
        if (res >= 0) {
            offset += static_cast<size_t>(res);
            if (offset >= len + 1)
                break;
        }
        if (!clock.wait_again()) {
            trace_error(__FILE_NAME__, __LINE__, func, false, "hid_send_feature_report() return %d",
                        res);
            trace_error(__FILE_NAME__, __LINE__, func, false, "exit by timeout: %d ms",
                        kDeadlineMs);
            break;
        }
    }
    free(buffer);
    return offset >= len + 1 ? 0 : -1;
}

// What became of one HID interface the search looked at.
enum class Described { pad, not_a_pad, failed };

// Opens the HID interface `info` of the search pair (vendor_id, product_id)
// and describes it as the table keeps it: closed, with a lock of its own,
// named by its settings string. A failure to open or to read its version is
// `failed`; an interface of no known model is `not_a_pad`.
Described describe_interface(const hid_device_info *info, uint32_t vendor_id, uint32_t product_id,
                             ql_device &out) {
    ql_device rec{};
    rec.transport = &hid_transport;
    snprintf(rec.hid_path, sizeof rec.hid_path, "%s", info->path);
    rec.hid = hid_open_path(rec.hid_path);
    if (rec.hid == nullptr) {
        TRACE_ERROR("failed during opening HID device %s", rec.hid_path);
        TRACE_ERROR("hid_open_path() failed and return NULL");
        TRACE_ERROR("%s", hidapi_str_error(nullptr));
        return Described::failed;
    }
    wchar_t text[kMaxStringLength];
    char narrow[kMaxStringLength];
    wmemset(text, 0, kMaxStringLength);
    if (hid_get_manufacturer_string(rec.hid, text, kMaxStringLength) == 0)
        narrow_usb_string(rec.manufacturer, text);
    wmemset(text, 0, kMaxStringLength);
    if (hid_get_product_string(rec.hid, text, kMaxStringLength) == 0) {
        narrow_usb_string(narrow, text);
        snprintf(rec.product, sizeof rec.product, "%.*s ", kMaxStringLength - 2, narrow);
    }
    wmemset(text, 0, kMaxStringLength);
    if (hid_get_serial_number_string(rec.hid, text, kMaxStringLength) == 0)
        narrow_usb_string(rec.serial_number, text);
    rec.interface_number = static_cast<uint32_t>(info->interface_number);
    rec.vendor_id = vendor_id;
    rec.product_id = product_id;
    snprintf(rec.device_id, sizeof rec.device_id, "%x%x%s", rec.vendor_id, rec.product_id,
             rec.serial_number);

    Described result = Described::not_a_pad;
    dev_fw_version version{};
    int v = core_read_version(&rec, &version);
    if (v != 0) {
        TRACE_ERROR("Function core_read_version() fail with code: %d", v);
        result = Described::failed;
    } else if ((rec.pad_type = core_pad_type(rec.vendor_id, rec.product_id, &rec)) != 0) {
        rec.device_lock = new_device_lock();
        rec.send_ssp_message = __send_ssp_message;
        rec.receive_ssp_message = __receive_ssp_message;
        core_pad_settings_population(rec.szPadSettings, rec.pad_type, rec.manufacturer, rec.product,
                                     rec.vendor_id, rec.product_id, rec.serial_number,
                                     rec.device_id, 0);
        // The table never holds an open handle: the field is the only
        // owner, and a failed exchange may have replaced it meanwhile.
        out = rec;
        out.hid = nullptr;
        result = Described::pad;
    }
    usleep(50);
    if (rec.hid != nullptr)
        hid_close(rec.hid);
    return result;
}

}  // namespace

int hid_input_wait(ql_device *dev, uint8_t *data, unsigned int len, unsigned int time_out) {
    hid_device *handle;
    int size;
    std::optional<TransportWait> wait;
    {
        DEVICE_LOCK_GUARD(guard, dev);
        handle = dev->hid;
        if (handle == nullptr)
            return 0;
        size = std::min(hid_get_max_packet_size_of_input_report(dev), static_cast<int>(len));
        wait.emplace(dev);
    }
    // hidapi's own thread keeps the interrupt transfer going; this only
    // waits on its queue, and returns as soon as a report is there.
    int r = hid_read_timeout(handle, data, static_cast<size_t>(size), static_cast<int>(time_out));
    if (r < 0) {
        const wchar_t *text = hid_error(handle);
        TRACE_ERROR("hid_read_timeout() failed with return code %d: %ls", r, text ? text : L"");
    }
    return r;
}

bool hid_searches_for(uint32_t vendor_id, uint32_t product_id) {
    for (const SearchEntry *e = hid_device_list.entries; e->vendor_id != 0; ++e)
        if (e->vendor_id == vendor_id && e->product_id == product_id)
            return true;
    return false;
}

int describe_arrived_hid_pad(uint16_t vendor_id, uint16_t product_id, const char *location,
                             ql_device *out, int capacity) {
    if (!hid_searches_for(vendor_id, product_id))
        return 0;
    hid_device_info *list = hid_enumerate(vendor_id, product_id);
    const size_t n = strlen(location);
    int count = 0;
    bool failed = false;
    for (hid_device_info *info = list; info != nullptr && !failed; info = info->next) {
        if (strncmp(info->path, location, n) != 0 || info->path[n] != ':')
            continue;
        if (count == capacity)
            break;
        Described d = describe_interface(info, vendor_id, product_id, out[count]);
        failed = d == Described::failed;
        count += d == Described::pad ? 1 : 0;
    }
    hid_free_enumeration(list);
    // A pad is described whole or not at all.
    for (int i = 0; failed && i < count; ++i)
        free_device_lock(&out[i]);
    return failed ? 0 : count;
}

extern "C" {

EXPORT int search_hid_devices(ql_device_list *table) {
    TRACE_SCOPE();
    int result = -1;
    for (const SearchEntry *e = hid_device_list.entries; e->vendor_id != 0; ++e) {
        hid_device_info *list = hid_enumerate(static_cast<unsigned short>(e->vendor_id),
                                              static_cast<unsigned short>(e->product_id));
        bool end_search = false;
        for (hid_device_info *info = list; info != nullptr && !end_search; info = info->next) {
            ql_device rec{};
            Described d = describe_interface(info, e->vendor_id, e->product_id, rec);
            end_search = d == Described::failed;
            if (d != Described::pad)
                continue;
            if (table == nullptr) {
                TRACE_ERROR("error: search_hid_devices(), dev_shared is NULL");
                free_device_lock(&rec);
            } else if (store_found_interface(table, rec, true)) {
                result = table->count_of_devices;
            } else {
                free_device_lock(&rec);
            }
        }
        hid_free_enumeration(list);
        if (end_search)
            break;
    }
    return result;
}

EXPORT hid_device *hid_open_dev(const char *path) {
    TRACE_SCOPE();
    if (path == nullptr) {
        TRACE_ERROR("input parameter *patch == NULL");
        return nullptr;
    }
    RetryClock clock;
    for (;;) {
        hid_device *handle = hid_open_path(path);
        if (handle != nullptr) {
            hid_set_nonblocking(handle, 0);
            return handle;
        }
        if (!clock.wait_again())
            break;
    }
    TRACE_ERROR("hid_open_path() return NULL");
    TRACE_ERROR("exit by timeout: %d ms", kDeadlineMs);
    TRACE_ERROR("%s", hidapi_str_error(nullptr));
    return nullptr;
}

EXPORT void hid_close_dev(hid_device *handle) {
    if (handle == nullptr)
        return;
    usleep(50);
    hid_close(handle);
}

EXPORT int hid_feature_read(hid_device *handle, void *data, unsigned int len) {
    if (!check_transfer_args(__func__, handle, data, len))
        return -1;
    auto *buffer = static_cast<unsigned char *>(Calloc(len + 1, 1));
    RetryClock clock;
    int res = 0;
    bool ok = false;
    for (;;) {
        buffer[0] = 0;
        res = hid_get_feature_report(handle, buffer, len + 1);
        if (res >= 0) {
            size_t got = static_cast<size_t>(res) > len + 1 ? len + 1 : static_cast<size_t>(res);
            if (got > 1)
                memcpy(data, buffer + 1, got - 1);
            if (static_cast<unsigned int>(res) == len + 1) {
                ok = true;
                break;
            }
        }
        if (!clock.wait_again()) {
            TRACE_ERROR("hid_get_feature_report() return %d", res);
            TRACE_ERROR("exit by timeout: %d ms", kDeadlineMs);
            TRACE_ERROR("%s", hidapi_str_error(handle));
            break;
        }
    }
    free(buffer);
    return ok ? 0 : -1;
}

EXPORT int hid_feature_write(hid_device *handle, const void *data, unsigned int len) {
    return send_report(__func__, handle, data, len);
}

EXPORT int hid_output_write(hid_device *handle, const void *data, unsigned int len) {
    return send_report(__func__, handle, data, len);
}

EXPORT int hid_input_read(hid_device *handle, void *data, unsigned int len) {
    if (!check_transfer_args(__func__, handle, data, len))
        return -1;
    hid_set_nonblocking(handle, 1);
    int res = hid_read(handle, static_cast<unsigned char *>(data), len);
    hid_set_nonblocking(handle, 0);
    if (res != 0 && res != static_cast<int>(len)) {
        TRACE_ERROR("hid_read() failed with return code %d", res);
        TRACE_ERROR("%s", hidapi_str_error(handle));
    }
    return res;
}

EXPORT int hid_get_max_packet_size_of_out_endpoint(const ql_device *dev) {
    if (dev == nullptr || dev->hid == nullptr)
        return -1;
    return kHidPacketSize;
}

EXPORT int hid_get_max_packet_size_of_input_report(const ql_device *dev) {
    if (dev == nullptr || dev->hid == nullptr)
        return -1;
    return dev->pad_type == 1 ? kType1InputSize : kHidPacketSize;
}

EXPORT const char *hidapi_str_error(hid_device *handle) {
    memset(hidapi_error_buffer, 0, sizeof hidapi_error_buffer);
    if (handle == nullptr)
        return hidapi_error_buffer;
    const wchar_t *text = hid_error(handle);
    snprintf(hidapi_error_buffer, sizeof hidapi_error_buffer, "hidapi error: %ls",
             text ? text : L"");
    return hidapi_error_buffer;
}

}  // extern "C"

extern "C" {

EXPORT int hid_read_ssp_data(hid_device *hid, void *data, unsigned int data_size,
                             unsigned int time_out, bool send_request) {
    if (!ArgCheck(API_SITE).handle(hid, kNullHid).length(data_size, kArgDataSize).data(data))
        return -1;
    uint8_t request[SSP_HID_REPORT_DATA_SIZE] = {SSP_HID_COMMAND_READ};
    uint8_t answer[SSP_HID_REPORT_DATA_SIZE];
    const Clock::time_point start = Clock::now();
    // The pad answers as soon as it has data; a short pause after each
    // "not ready" keeps a pad that never is from costing a whole core.
    for (bool first = true; elapsed_ms(start) < static_cast<long>(time_out); first = false) {
        if (!first)
            usleep(kSspPollPauseUs);
        if (send_request) {
            int r = hid_feature_write(hid, request, sizeof request);
            if (r != 0) {
                TRACE_ERROR("hid_feature_write() return: %d", r);
                return -1;
            }
        }
        memset(answer, 0, sizeof answer);
        if (hid_feature_read(hid, answer, sizeof answer) != 0)
            continue;
        // Anything but a ready 0xF9 answer (a busy status, another command's
        // answer, an all-zero report) means: ask again.
        if (answer[0] != SSP_HID_COMMAND_READ || answer[1] != 0)
            continue;
        unsigned int n = std::min(data_size, static_cast<unsigned int>(SSP_HID_READ_TOKEN_BYTES));
        memcpy(data, answer + SSP_HID_READ_HEADER_SIZE, n);
        return static_cast<int>(n);
    }
    return -1;
}

}  // extern "C"

// ---- The transport table ----

namespace {

int hid_open(ql_device *dev) {
    if (dev->hid != nullptr || is_it_zero_array(dev->hid_path, sizeof dev->hid_path))
        return 0;
    dev->hid = hid_open_dev(dev->hid_path);
    return dev->hid != nullptr ? 0 : -1;
}

void hid_close_record(ql_device *dev) {
    hid_close_dev(dev->hid);
    dev->hid = nullptr;
}

bool hid_is_open(const ql_device *dev) {
    return dev->hid != nullptr;
}

int hid_record_feature_read(ql_device *dev, void *data, unsigned int len) {
    return hid_feature_read(dev->hid, data, len);
}

int hid_record_feature_write(ql_device *dev, const void *data, unsigned int len) {
    return hid_feature_write(dev->hid, data, len);
}

int hid_record_output_write(ql_device *dev, const void *data, unsigned int len) {
    return hid_output_write(dev->hid, data, len);
}

int hid_record_input_read(ql_device *dev, void *data, unsigned int len) {
    return hid_input_read(dev->hid, data, len);
}

int hid_packet_size(const ql_device *dev, bool input) {
    if (dev->hid == nullptr)
        return 0;
    return input ? hid_get_max_packet_size_of_input_report(dev)
                 : hid_get_max_packet_size_of_out_endpoint(dev);
}

int hid_describe_arrived(uint16_t vendor_id, uint16_t product_id, const char *location,
                         ql_device *out, int capacity) {
    return describe_arrived_hid_pad(vendor_id, product_id, location, out, capacity);
}

void hid_end() {
    int r = hid_exit();
    if (r < 0)
        TRACE_ERROR("hid_exit() returns: %d", r);
}

// Tokens travel in 0xF8 feature reports of up to 63 bytes each. A failed
// write leaves the pad's parser in an unknown state: the record is reopened.
int hid_ssp_send(ql_device *dev, const uint8_t *tokens, unsigned int size) {
    uint8_t report[SSP_HID_REPORT_DATA_SIZE];
    for (size_t off = 0; off < size; off += SSP_HID_WRITE_TOKEN_BYTES) {
        size_t piece = std::min(SSP_HID_WRITE_TOKEN_BYTES, size - off);
        memset(report, 0, sizeof report);
        report[0] = SSP_HID_COMMAND_WRITE;
        memcpy(report + 1, tokens + off, piece);
        if (hid_feature_write(dev->hid, report, static_cast<unsigned int>(1 + piece)) != 0) {
            TRACE_ERROR("Error of send/write data by hid_feature_write()");
            return core_reopen_record(dev) ? -1 : kCoreRemoved;
        }
    }
    return 0;
}

// Fresh reads ask with 0xF9 first; continuation reads take the pad's next
// answer as it comes.
int hid_ssp_read(ql_device *dev, uint8_t *buffer, unsigned int size, unsigned int time_out,
                 bool fresh, bool) {
    unsigned int want =
        fresh ? std::min(size, static_cast<unsigned int>(SSP_HID_REPORT_DATA_SIZE)) : size;
    int n = hid_read_ssp_data(dev->hid, buffer, want, time_out, fresh);
    if (n < 1) {
        trace_error(__FILE_NAME__, __LINE__, "__receive_ssp_message", false,
                    "Error, hid_read_ssp_data() return: %d", n);
        return -1;
    }
    return n;
}

// An answer's token bytes come whole or not at all.
unsigned int hid_ssp_read_size(const ql_device *) {
    return SSP_HID_READ_TOKEN_BYTES;
}

}  // namespace

const Transport hid_transport = {
    .name = "HID",
    .search = search_hid_devices,
    .searches_for = hid_searches_for,
    .describe_arrived = hid_describe_arrived,
    .end = hid_end,
    .open = hid_open,
    .close = hid_close_record,
    .is_open = hid_is_open,
    .feature_read = hid_record_feature_read,
    .feature_write = hid_record_feature_write,
    .output_write = hid_record_output_write,
    .input_read = hid_record_input_read,
    .packet_size = hid_packet_size,
    .input_wait = hid_input_wait,
    .ssp_send = hid_ssp_send,
    .ssp_read = hid_ssp_read,
    .ssp_read_size = hid_ssp_read_size,
    .ssp_shares_input_pipe = false,
};
