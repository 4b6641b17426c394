// Report and feature transfers of the current device: interface selection,
// the record lock, dispatch to the HID or VCOM layer, and recovery by
// reopening a record whose transfer failed.
#include <cstring>
#include <optional>

#include "core.h"
#include "hid.h"
#include "vcom.h"
#include "wrappers.h"
#include "wrappthread.h"

namespace {

enum class Transfer { feature_read, feature_write, output_write, input_read };

// Texts of one interface function's argument checks.
struct InterfaceTexts {
    const char *null_data;
    const char *bad_size;
    const char *bad_interface;
};

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

bool have_current_device() {
    if (dev_shared == nullptr) {
        TRACE_ERROR("error: dev_shared is NULL...");
        return false;
    }
    if (dev_shared->current_device == nullptr) {
        TRACE_ERROR("error: dev_shared->current_device is NULL...");
        return false;
    }
    return true;
}

int dispatch(ql_device *dev, Transfer kind, void *data, unsigned int len) {
    if (dev->vcom_handle != nullptr) {
        switch (kind) {
            case Transfer::feature_read:
                return vcom_feature_read(dev, data, len);
            case Transfer::feature_write:
                return vcom_feature_write(dev, data, len);
            case Transfer::output_write:
                return vcom_output_write(dev, data, len);
            case Transfer::input_read:
                return vcom_input_read(dev, data, len);
        }
    }
    switch (kind) {
        case Transfer::feature_read:
            return hid_feature_read(dev->hid, data, len);
        case Transfer::feature_write:
            return hid_feature_write(dev->hid, data, len);
        case Transfer::output_write:
            return hid_output_write(dev->hid, data, len);
        case Transfer::input_read:
            return hid_input_read(dev->hid, data, len);
    }
    return -1;
}

// One transfer and, when it fails, a close and reopen of the record. The
// caller holds the record's lock where the transfer needs it.
int transfer_with_recovery(const char *func, ql_device *dev, Transfer kind, void *data,
                           unsigned int len) {
    if (dev == nullptr) {
        trace_error(__FILE_NAME__, __LINE__, func, false,
                    "Error, input parameter: device *current_device is %p",
                    static_cast<void *>(dev));
        return -1;
    }
    if (len == 0) {
        trace_error(__FILE_NAME__, __LINE__, func, false,
                    "Error, input parameter: unsigned int len is %d", len);
        return -1;
    }
    if (data == nullptr) {
        trace_error(__FILE_NAME__, __LINE__, func, false,
                    "Error, input parameter: void *data is %p", data);
        return -1;
    }
    if (dev->hid == nullptr && dev->vcom_handle == nullptr) {
        trace_error(__FILE_NAME__, __LINE__, func, false,
                    "Error, device pointers: *hid and *vcom_handle are NULL");
        return -1;
    }
    int r = dispatch(dev, kind, data, len);
    bool reading = kind == Transfer::feature_read || kind == Transfer::input_read;
    bool failed = kind == Transfer::input_read ? r < 0 : r != 0;
    if (!failed)
        return r;
    trace_error(__FILE_NAME__, __LINE__, func, false,
                reading ? "read function failed with return code %d"
                        : "write function failed with return code %d",
                r);
    __core_close_dev(dev);
    if (__core_open_dev(dev) != 0) {
        dev->removed = true;
        return kCoreRemoved;
    }
    return -1;
}

int locked_transfer(const char *func, ql_device *dev, Transfer kind, void *data, unsigned int len) {
    if (dev != nullptr && dev->device_lock != nullptr) {
        ScopedMutex guard(dev->device_lock, "device_lock", __FILE_NAME__, __LINE__, func);
        return transfer_with_recovery(func, dev, kind, data, len);
    }
    return transfer_with_recovery(func, dev, kind, data, len);
}

// Picks interface `number` of the current device, opening an extra interface
// on first use. Null (traced) when it cannot be used.
ql_device *select_interface(unsigned int number, bool feature) {
    ql_device *current = dev_shared->current_device;
    if (number == 0)
        return current;
    if (current->interfaces == nullptr) {
        TRACE_ERROR("Error, **interfaces is NULL");
        return nullptr;
    }
    ql_device *rec = current->interfaces[number - 1];
    if (rec == nullptr) {
        TRACE_ERROR("Error, interfaces[%d] is NULL", number - 1);
        return nullptr;
    }
    if (rec->hid == nullptr && rec->vcom_handle == nullptr) {
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
    if (!have_current_device())
        return result;
    if (data == nullptr) {
        TRACE_ERROR("%s", texts.null_data);
    } else if (size < 1) {
        TRACE_ERROR("%s", texts.bad_size);
    } else if (number >
                   static_cast<unsigned int>(dev_shared->current_device->count_of_interfaces) ||
               number > kMaxInterfaces) {
        // An interface number above 8 would index past the array of extra
        // interfaces even when the count claims more.
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
        std::optional<ScopedMutex> guard;
        if (dev->device_lock != nullptr)
            guard.emplace(dev->device_lock, "device_lock", __FILE_NAME__, __LINE__, __func__);
        if (dev->hid != nullptr)
            result = input ? hid_get_max_packet_size_of_input_report(dev)
                           : hid_get_max_packet_size_of_out_endpoint(dev);
        else if (dev->vcom_handle != nullptr)
            result = static_cast<int>(input ? dev->vcom_in_size : dev->vcom_out_size);
    }
    core_catch_is_dev_was_removed(&result);
    return result;
}

}  // namespace

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
