// Report and feature transfers of the current device: interface selection,
// the record lock, dispatch through the record's transport, recovery by
// reopening a record whose transfer failed, and the receive thread's wait
// for input with no lock held.
#include <cstring>

#include "core.h"
#include "transport.h"
#include "wrappers.h"
#include "wrappthread.h"

namespace {

enum class Transfer { feature_read, feature_write, output_write, input_read };

constexpr InterfaceTexts kSetFeatureTexts = {
    "*data of QLPAD_ql_ioctl() is NULL", "data_size of QLPAD_ql_ioctl() <= 0",
    "set_hid_feature_to_interface->interface_number > count of interfaces"};
constexpr InterfaceTexts kGetFeatureTexts = {
    "get_hid_feature_from_interface->data of QLPAD_ql_ioctl() is NULL",
    "get_hid_feature_from_interface->data_size of QLPAD_ql_ioctl() <= 0",
    "get_hid_feature_from_interface->interface_number > count of interfaces"};
constexpr InterfaceTexts kSetOutputTexts = {
    "set_hid_output_to_interface->data of QLPAD_ql_ioctl() is NULL",
    "set_hid_output_to_interface->data_size of QLPAD_ql_ioctl() <= 0",
    "set_hid_output_to_interface->interface_number > count of interfaces"};
constexpr InterfaceTexts kGetInputTexts = {
    "get_hid_input_from_interface->data of QLPAD_ql_ioctl() is NULL",
    "get_hid_input_from_interface->data_size of QLPAD_ql_ioctl() <= 0",
    "get_hid_input_from_interface->interface_number > count of interfaces"};

int dispatch(ql_device *dev, Transfer kind, void *data, unsigned int len) {
    const Transport &t = *dev->transport;
    switch (kind) {
        case Transfer::feature_read:
            return t.feature_read(dev, data, len);
        case Transfer::feature_write:
            return t.feature_write(dev, data, len);
        case Transfer::output_write:
            return t.output_write(dev, data, len);
        case Transfer::input_read:
            return t.input_read(dev, data, len);
    }
    return -1;
}

// After a failed transfer `r`: a close and reopen of the record, so that the
// next transfer starts on a fresh handle. -1, or -20 when the reopen failed.
// The caller holds the record's lock where it has one.
int recover(const char *func, ql_device *dev, bool reading, int r) {
    trace_error(__FILE_NAME__, __LINE__, func, false,
                reading ? "read function failed with return code %d"
                        : "write function failed with return code %d",
                r);
    return core_reopen_record(dev) ? -1 : kCoreRemoved;
}

// One transfer and, when it fails, a close and reopen of the record. The
// caller holds the record's lock where the transfer needs it.
int transfer_with_recovery(const char *func, ql_device *dev, Transfer kind, void *data,
                           unsigned int len) {
    ArgCheck check({__FILE_NAME__, __LINE__, func});
    if (!check.require(dev != nullptr, kArgCurrentDevicePointer, dev) ||
        !check.length(len, kArgLen)
             .data(data)
             .require(core_record_open(dev),
                      "Error, device pointers: *hid and *vcom_handle are NULL"))
        return -1;
    int r = dispatch(dev, kind, data, len);
    bool reading = kind == Transfer::feature_read || kind == Transfer::input_read;
    bool failed = kind == Transfer::input_read ? r < 0 : r != 0;
    return failed ? recover(func, dev, reading, r) : r;
}

int locked_transfer(const char *func, ql_device *dev, Transfer kind, void *data, unsigned int len) {
    DeviceLockGuard guard(dev, __FILE_NAME__, __LINE__, func);
    return transfer_with_recovery(func, dev, kind, data, len);
}

// Picks interface `number` of the current device, opening an extra interface
// on first use. Null (traced) when it cannot be used.
ql_device *select_interface(unsigned int number, bool feature) {
    ql_device *rec = core_interface_record(dev_shared->current_device, number, true);
    if (rec == nullptr || number == 0)
        return rec;
    if (!core_record_open(rec)) {
        int r = core_open_dev(rec);
        if (r != 0) {
            if (feature)
                TRACE_ERROR("Error, function core_open_dev() returned %d", r);
            else
                TRACE_ERROR("Error of using interface with number: %d", number);
            return nullptr;
        }
    }
    return rec;
}

int interface_transfer(const InterfaceTexts &texts, Transfer kind, unsigned int number, void *data,
                       int size) {
    int result = -1;
    if (core_current_device(true) == nullptr)
        return result;
    if (data == nullptr) {
        TRACE_ERROR("%s", texts.null_data);
    } else if (size < 1) {
        TRACE_ERROR("%s", texts.bad_size);
    } else if (!core_interface_exists(dev_shared->current_device, number)) {
        TRACE_ERROR("%s", texts.bad_interface);
    } else {
        bool feature = kind == Transfer::feature_read || kind == Transfer::feature_write;
        ql_device *rec = select_interface(number, feature);
        if (rec != nullptr) {
            unsigned int len = static_cast<unsigned int>(size);
            if (feature) {
                result = locked_transfer(__func__, rec, kind, data, len);
            } else {
                result = kind == Transfer::output_write ? core_output_write(rec, data, len)
                                                        : core_input_read(rec, data, len);
            }
        }
    }
    core_catch_is_dev_was_removed(&result);
    return result;
}

int max_packet_size(bool input) {
    int result = -1;
    if (dev_shared != nullptr && dev_shared->current_device != nullptr) {
        ql_device *dev = dev_shared->current_device;
        // A receive thread may close this pad after an unplug meanwhile: read
        // its handles under the pad's lock, never a handle being freed.
        DEVICE_LOCK_GUARD(guard, dev);
        if (core_record_open(dev))
            result = core_packet_size(dev, input);
    }
    core_catch_is_dev_was_removed(&result);
    return result;
}

}  // namespace

int core_input_wait(ql_device *dev, uint8_t *data, unsigned int len, unsigned int time_out) {
    {
        DEVICE_LOCK_GUARD(guard, dev);
        if (!core_record_open(dev) && __core_open_dev(dev) != 0) {
            TRACE_ERROR("Error of using interface with number: %d", dev->interface_number);
            return -1;
        }
    }
    // The record's transport never changes: only its handle does.
    int r = dev->transport != nullptr ? dev->transport->input_wait(dev, data, len, time_out) : 0;
    if (r >= 0)
        return r;
    if (dev->removed)
        return kCoreRemoved;
    DEVICE_LOCK_GUARD(guard, dev);
    return recover(__func__, dev, true, r);
}

int core_packet_size(const ql_device *dev, bool input) {
    return dev->transport != nullptr ? dev->transport->packet_size(dev, input) : 0;
}

extern "C" {

EXPORT int core_feature_read(ql_device *dev, void *data, unsigned int len) {
    return transfer_with_recovery(__func__, dev, Transfer::feature_read, data, len);
}

EXPORT int core_feature_write(ql_device *dev, const void *data, unsigned int len) {
    return transfer_with_recovery(__func__, dev, Transfer::feature_write, const_cast<void *>(data),
                                  len);
}

EXPORT int core_output_write(ql_device *dev, const void *data, unsigned int len) {
    return locked_transfer(__func__, dev, Transfer::output_write, const_cast<void *>(data), len);
}

EXPORT int core_input_read(ql_device *dev, void *data, unsigned int len) {
    return locked_transfer(__func__, dev, Transfer::input_read, data, len);
}

EXPORT int core_set_hid_feature_report(unsigned int interface_number, const void *data, int size) {
    return interface_transfer(kSetFeatureTexts, Transfer::feature_write, interface_number,
                              const_cast<void *>(data), size);
}

EXPORT int core_get_hid_feature_report(unsigned int interface_number, void *data, int size) {
    return interface_transfer(kGetFeatureTexts, Transfer::feature_read, interface_number, data,
                              size);
}

EXPORT int core_set_unsync_hid_output_report(unsigned int interface_number, const void *data,
                                             int size) {
    return interface_transfer(kSetOutputTexts, Transfer::output_write, interface_number,
                              const_cast<void *>(data), size);
}

EXPORT int core_get_hid_input_report(unsigned int interface_number, void *data, int size) {
    return interface_transfer(kGetInputTexts, Transfer::input_read, interface_number, data, size);
}

EXPORT int core_get_max_packet_size_of_out_endpoint(void) {
    return max_packet_size(false);
}

EXPORT int core_get_max_packet_size_of_input_report(void) {
    return max_packet_size(true);
}

}  // extern "C"
