// The API device table: numbering the pads, switching the current device,
// enumeration and the information functions.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core.h"
#include "core_table.h"
#include "device_handlers.h"
#include "inkport_async.h"
#include "inkport_devices.h"
#include "wchar_tools.h"
#include "wrappers.h"
#include "wrappthread.h"

namespace {

// What a switch must report once its locks are released.
struct SwitchResult {
    int value;
    bool removed;
};

// The checks of a switch on `table`: the entry's settings string, or a
// failure. Under dev_list_short_lock, or on a table nobody else sees yet.
SwitchResult check_entry(const short_device_list *table, unsigned int device, char *settings) {
    if (table == nullptr) {
        trace_error(__FILE_NAME__, __LINE__, "set_dev_to_current", false,
                    "dev_shared_short is NULL.. Use Initialize() first.");
        return {-1, false};
    }
    if (device > kMaxApiDevices) {
        TRACE_ERROR("Error: incorrect device value: %d", device);
        return {-1, false};
    }
    const short_device &entry = table->devices[device];
    if (!entry.indexed) {
        TRACE_ERROR("Device %d is not indexed", device);
        return {-1, false};
    }
    if (entry.pad_settings[0] == '\0') {
        TRACE_ERROR("Device %d has not pad settings data", device);
        return {-1, false};
    }
    memcpy(settings, entry.pad_settings, kMaxStringLength);
    return {0, false};
}

// The core's answer to a switch to the pad of `settings`.
SwitchResult core_switch(const char *settings) {
    int r = core_set_device_to_current(settings);
    if (r < 0) {
        TRACE_ERROR("Error: core_set_device_to_current() return %d", r);
        return {-1, r == kCoreRemoved};
    }
    if (r == 1)
        TRACE_INFO("No device %s for switching", settings);
    else if (r != 0)
        TRACE_ERROR("core_set_device_to_current() return unsupported value %d", r);
    return {r, false};
}

// A switch on a table nobody else sees yet (Initialize's search).
SwitchResult switch_unpublished(short_device_list *table, unsigned int device) {
    char settings[kMaxStringLength];
    SwitchResult r = check_entry(table, device, settings);
    if (r.value == 0)
        r = core_switch(settings);
    if (r.value == 0)
        table->current_device = static_cast<uint16_t>(device);
    return r;
}

// A switch of the application's; dev_switch_lock held. The table lock is
// taken only to look at the entry and to note the new current device: the
// core's switch may reopen the pad, which takes its time.
SwitchResult switch_published(unsigned int device) {
    char settings[kMaxStringLength];
    {
        LOCK_GUARD(guard, &dev_list_short_lock);
        SwitchResult r = check_entry(dev_shared_short, device, settings);
        if (r.value != 0)
            return r;
        if (dev_shared_short->current_device == device)
            return {0, false};
    }
    SwitchResult r = core_switch(settings);
    if (r.value == 0) {
        LOCK_GUARD(guard, &dev_list_short_lock);
        if (dev_shared_short != nullptr)
            dev_shared_short->current_device = static_cast<uint16_t>(device);
    }
    return r;
}

// The switch failures every device function reports the same way.
uint32_t report_switch_failure(ApiSite site, unsigned int device, int r) {
    api_error(site, "Static function set_dev_to_current() was return %d", r);
    if (r < 0)
        return api_fail(site, QLPCEC_INVALID_HANDLE, "%s%d",
                        "Error of switching to device: ", device);
    if (r == 1)
        return api_fail(site, QLPCEC_INVALID_HANDLE, "%s%d", "Can not switch to device: ", device);
    return api_fail(site, QLPCEC_INVALID_HANDLE, "%s%d",
                    "static function set_dev_to_current() return unexpected value: ", r);
}

// A getter failure: the removal hook, the getter's error line, exception 257.
uint32_t report_getter_failure(ApiSite site, unsigned int device, unsigned int end_point, int v,
                               const char *getter_error, const char *failure_text) {
    catch_removing_device(v, device, end_point);
    api_error(site, getter_error, v);
    return api_fail(site, QLPCEC_INVALID_HANDLE, "%s%d", failure_text, device);
}

struct TextInfo {
    int (*getter)(char *);
    const char *getter_error;
    const char *failure_text;
    bool count_terminator;
};

struct NumberInfo {
    int (*getter)(void);
    const char *getter_error;
    const char *failure_text;
    int added;        // GetFeatureReportSize counts the report-id byte
    bool log_output;  // logs "OUTPUT: *reply" on success
};

constexpr TextInfo kSerialNumber = {core_get_serial_number,
                                    "Error, function core_get_serial_number(char *) return %d",
                                    "Error of getting serial number for device: ", false};
constexpr TextInfo kProductName = {core_get_pad_name,
                                   "Error, function core_get_pad_name(char *) return %d",
                                   "Error of getting device's name for device: ", true};
constexpr TextInfo kVendorName = {core_get_pad_manufacturer,
                                  "Error, function core_get_pad_manufacturer(char *) return %d",
                                  "Error of getting device's manufacturer for device: ", false};
constexpr NumberInfo kProductId = {core_get_pad_product_id,
                                   "Error, function core_get_pad_product_id() return %d",
                                   "Error of getting product ID for device: ", 0, true};
constexpr NumberInfo kVendorId = {core_get_vendor_id,
                                  "Error, function core_get_vendor_id() return %d",
                                  "Error of getting vendor ID for device: ", 0, true};
constexpr NumberInfo kUsbVersion = {core_get_pad_bcd_device,
                                    "Error, function core_get_pad_bcd_device() return %d",
                                    "Error of getting bcdDevice for device: ", 0, true};
constexpr NumberInfo kEndPointCount = {
    core_get_count_of_hid_interfaces,
    "Error, function core_get_count_of_hid_interfaces() return %d",
    "Error of getting count of hid interfaces for device: ", 0, true};
constexpr NumberInfo kFeatureReportSize = {
    core_get_max_packet_size_of_out_endpoint,
    "Error, function core_get_max_packet_size_of_out_endpoint() return %d",
    "Error of getting max packet size of hid interfaces for device: ", 1, false};

uint32_t info_text(ApiSite site, const TextInfo &info, unsigned int device, unsigned int end_point,
                   uint16_t *res_text, int res_text_size, unsigned int *reply,
                   const char *log_format) {
    if (uint32_t h =
            check_text_output(site, QLPCEC_INVALID_PARAMETER, res_text, res_text_size, reply))
        return h;
    if (uint32_t h = switch_to_device(site, device))
        return h;
    char text[kMaxStringLength] = {};
    int v = info.getter(text);
    if (v < 0)
        return report_getter_failure(site, device, end_point, v, info.getter_error,
                                     info.failure_text);
    if (log_format != nullptr)
        api_info(site, log_format, text);
    int length = static_cast<int>(strlen(text));
    char16_t wide[kMaxStringLength] = {};
    widen(wide, text, length + 1);
    int count = length + (info.count_terminator ? 1 : 0);
    if (count > res_text_size)
        count = res_text_size;
    copy_wide_out(res_text, res_text_size, wide, count);
    *reply = static_cast<unsigned int>(count);
    return 0;
}

// The first steps of a device function that answers a number: its reply
// argument checked, then the pad made current.
uint32_t reply_and_switch(ApiSite site, unsigned int device, const unsigned int *reply) {
    if (uint32_t h = check_reply(site, QLPCEC_INVALID_PARAMETER, reply))
        return h;
    return switch_to_device(site, device);
}

// The API table's entry of the current pad, or null before Initialize.
// Under dev_list_short_lock.
short_device *current_entry_locked() {
    if (dev_shared_short == nullptr)
        return nullptr;
    return &dev_shared_short->devices[dev_shared_short->current_device];
}

uint32_t info_number(ApiSite site, const NumberInfo &info, unsigned int device,
                     unsigned int end_point, unsigned int *reply) {
    if (uint32_t h = reply_and_switch(site, device, reply))
        return h;
    int v = info.getter();
    if (v < 0)
        return report_getter_failure(site, device, end_point, v, info.getter_error,
                                     info.failure_text);
    *reply = static_cast<unsigned int>(v + info.added);
    if (info.log_output)
        api_info(site, "OUTPUT: *reply: %d\n", *reply);
    return 0;
}

}  // namespace

unsigned int api_device_count() {
    LOCK_GUARD(guard, &dev_list_short_lock);
    return dev_shared_short == nullptr ? 0 : dev_shared_short->count_of_devices;
}

// The lines of an enumeration step that could not switch to `device`: the
// start's or the next step's.
void report_enumeration_failure(ApiSite site, bool start, unsigned int device, int r) {
    const bool expected = r < 0 || r == 1;
    api_error(site,
              start && expected ? "set_dev_to_current() was return %d"
                                : "Static function set_dev_to_current() was return %d",
              r);
    if (r < 0) {
        api_error(site, "%s%d", "Error of switching to device: ", device);
        if (start)
            api_error(site, "No device detected");
    } else if (r == 1) {
        api_error(site, "%s%d", "Can not switch to device: ", device);
    } else {
        api_error(site, "%s%d",
                  "static function set_dev_to_current() return unexpected value: ", r);
    }
}

// Makes the first pad from number `first` on that can be switched to
// current and answers its number, or 0 when there is none up to the last. A
// pad that cannot be switched to (pulled, or failing to open) is passed
// over with its failure's lines and removal handling: it keeps its number
// and its place in the count, and the pad current before stays current.
unsigned int enumerate_from(ApiSite site, unsigned int first, bool start) {
    for (unsigned int device = first;; ++device) {
        int r = set_dev_to_current(device, 0);
        // The pad current already is not reopened by its switch: a pulled
        // one is passed over as a switch to it would have been.
        if (r == 0 && find_pad(device).removed) {
            catch_removing_device(kCoreRemoved, device, 0);
            r = kCoreFailed;
        }
        if (r == 0) {
            api_info(site, "Was switched to device: %d\n", device);
            return device;
        }
        report_enumeration_failure(site, start, device, r);
        if (device >= api_device_count() || device >= kMaxApiDevices)
            return 0;
    }
}

int set_dev_to_current(unsigned int device, int lock_flag) {
    SwitchResult r;
    if (lock_flag == 1) {
        r = switch_unpublished(dev_shared_short, device);
    } else {
        SWITCH_LOCK_GUARD(switching);
        r = switch_published(device);
    }
    // The removed handler may call back into the library: it runs only once
    // the locks are released. Initialize's search is not notified here; the
    // pad stays marked removed and the next call on it reports the removal.
    if (r.removed && lock_flag != 1)
        catch_removing_device(kCoreRemoved, device, 0);
    return r.value;
}

int get_current_dev() {
    LOCK_GUARD(guard, &dev_list_short_lock);
    if (dev_shared_short == nullptr) {
        TRACE_ERROR("dev_shared_short is NULL.. Use Initialize() first.");
        return -1;
    }
    unsigned int current = dev_shared_short->current_device;
    const short_device &entry = dev_shared_short->devices[current];
    if (!entry.indexed) {
        TRACE_ERROR("Device %d is not indexed", current);
        return -1;
    }
    if (entry.pad_settings[0] == '\0') {
        TRACE_ERROR("Device %d has not pad settings data", current);
        return -1;
    }
    API_INFO("Current device: %d, pad_settings: %s\n", current, entry.pad_settings);
    return static_cast<int>(current);
}

int looking_for_device(short_device_list *table) {
    API_INFO("sizeof(wchar_t): %d\n", static_cast<int>(sizeof(char16_t)));
    if (table == nullptr) {
        api_error(API_SITE, "dev_shared_short is NULL... do Initialize() first");
        return -1;
    }
    memset(static_cast<void *>(table->devices), 0, sizeof table->devices);
    table->count_of_devices = 0;
    table->current_device = 0;
    int n = core_looking_for_devices();
    if (n < 0) {
        api_error(API_SITE, "Error, function core_looking_for_devices() return %d", n);
        return -1;
    }
    if (n == 0) {
        API_INFO("Devices not found!\n");
        return 0;
    }
    API_INFO("Was found %d devices\n", n);
    table->devices[0].indexed = true;
    int processed = 0;
    for (int k = 1; k <= n; ++k) {
        // The core holds 16 pads, the API numbers 15: the sixteenth is left out.
        if (k > kMaxApiDevices)
            break;
        char buffer[kMaxStringLength] = {};
        int m = core_get_pad_settings(buffer);
        if (m < 1) {
            api_error(API_SITE, "Error: core_get_pad_settings(buffer) return %d", m);
            break;
        }
        short_device &entry = table->devices[k];
        snprintf(entry.pad_settings, sizeof entry.pad_settings, "%.*s", m + 1 > 255 ? 255 : m + 1,
                 buffer);
        entry.indexed = true;
        ++table->count_of_devices;
        API_INFO("libinkport: Indexed pad: %s\n", entry.pad_settings);
        ++processed;
        int r = core_set_device_to_current(nullptr);
        if (r < 0) {
            api_error(API_SITE, "Error: core_set_device_to_current(NULL) return %d", r);
            break;
        }
        if (r == 1) {
            API_INFO("No any devices for switching\n");
            break;
        }
        if (r != 0) {
            api_error(API_SITE, "core_set_device_to_current(NULL) return unsupported value %d", r);
            break;
        }
    }
    int expected = n > kMaxApiDevices ? kMaxApiDevices : n;
    int result = n;
    if (processed != expected) {
        api_error(API_SITE, "Count of founded devices is %d, but was processed %d", n, processed);
        result = -1;
    }
    if (result > 0) {
        int r = switch_unpublished(table, 1).value;
        if (r == 0) {
            API_INFO("Was switched to device: %d\n", 1);
        } else {
            api_error(API_SITE, "Static function set_dev_to_current() was return %d", r);
            api_error(API_SITE, "Error of switching device %d to current", 1);
            result = -1;
        }
    }
    return result;
}

uint32_t switch_to_device(ApiSite site, unsigned int device) {
    int r = set_dev_to_current(device, 0);
    if (r != 0)
        return report_switch_failure(site, device, r);
    api_info(site, "Was switched to device: %d\n", device);
    return 0;
}

extern "C" {

EXPORT uint32_t EnumerateDevicesNext(unsigned int *reply) {
    TRACE_SCOPE();
    if (uint32_t h = check_reply(API_SITE, QLPCEC_INVALID_PARAMETER, reply))
        return h;
    int c = get_current_dev();
    *reply = 0;
    if (c <= 0) {
        api_error(API_SITE, "Error of getting info about current device");
        return 0;
    }
    if (api_device_count() <= static_cast<unsigned int>(c))
        return 0;
    *reply = enumerate_from(API_SITE, static_cast<unsigned int>(c) + 1, false);
    return 0;
}

EXPORT uint32_t GetSerialNumber(unsigned int device, uint16_t *res_text, int res_text_size,
                                unsigned int *reply) {
    TRACE_SCOPE();
    return info_text(API_SITE, kSerialNumber, device, 0, res_text, res_text_size, reply,
                     "SERIAL_NUMBER: %s\n");
}

EXPORT uint32_t GetProductName(unsigned int device, unsigned int end_point_id, uint16_t *res_text,
                               int res_text_size, unsigned int *reply) {
    TRACE_SCOPE();
    return info_text(API_SITE, kProductName, device, end_point_id, res_text, res_text_size, reply,
                     nullptr);
}

EXPORT uint32_t GetVendorName(unsigned int device, uint16_t *res_text, int res_text_size,
                              unsigned int *reply) {
    TRACE_SCOPE();
    uint32_t h =
        info_text(API_SITE, kVendorName, device, 0, res_text, res_text_size, reply, nullptr);
    if (h == 0) {
        // Only the units written: the text need not end within the buffer.
        char shown[kMaxStringLength] = {};
        narrow(shown, reinterpret_cast<const char16_t *>(res_text),
               std::min(static_cast<int>(*reply), kMaxStringLength - 1));
        API_INFO("OUTPUT: res_text: %s, *reply: %d\n", shown, *reply);
    }
    return h;
}

EXPORT uint32_t GetProductId(unsigned int device, unsigned int end_point_id, unsigned int *reply) {
    TRACE_SCOPE();
    return info_number(API_SITE, kProductId, device, end_point_id, reply);
}

EXPORT uint32_t GetVendorId(unsigned int device, unsigned int *reply) {
    TRACE_SCOPE();
    return info_number(API_SITE, kVendorId, device, 0, reply);
}

EXPORT uint32_t GetUsbVersion(unsigned int device, unsigned int *reply) {
    TRACE_SCOPE();
    return info_number(API_SITE, kUsbVersion, device, 0, reply);
}

EXPORT uint32_t GetEndPointCount(unsigned int device, unsigned int *reply) {
    TRACE_SCOPE();
    return info_number(API_SITE, kEndPointCount, device, 0, reply);
}

EXPORT uint32_t GetFeatureReportSize(unsigned int device, unsigned int end_point_id,
                                     unsigned int *reply) {
    TRACE_SCOPE();
    uint32_t h = info_number(API_SITE, kFeatureReportSize, device, end_point_id, reply);
    if (h == 0)
        API_INFO("for device/end_point_id: %d/%d feature report size: %d \n", device, end_point_id,
                 *reply);
    return h;
}

EXPORT uint32_t GetUsedTransportProtocol(unsigned int device, unsigned int *reply) {
    TRACE_SCOPE();
    if (uint32_t h = reply_and_switch(API_SITE, device, reply))
        return h;
    LOCK_GUARD(guard, &dev_list_short_lock);
    if (const short_device *entry = current_entry_locked())
        *reply = entry->used_transport_protocol ? 1 : 0;
    return 0;
}

EXPORT uint32_t SetUsedTransportProtocol(unsigned int device, unsigned int value) {
    TRACE_SCOPE();
    if (uint32_t h = switch_to_device(API_SITE, device))
        return h;
    LOCK_GUARD(guard, &dev_list_short_lock);
    if (short_device *entry = current_entry_locked())
        entry->used_transport_protocol = value != 0;
    return 0;
}

EXPORT uint32_t GetBytesToSend(unsigned int device, unsigned int *reply) {
    TRACE_SCOPE();
    if (uint32_t h = reply_and_switch(API_SITE, device, reply))
        return h;
    *reply = 0;
    return 0;
}

}  // extern "C"
