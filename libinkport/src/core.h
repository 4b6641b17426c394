// The device core: the core device table with its records, discovery, the
// current device, opening and closing, and the transfers with recovery.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "api_common.h"

struct hid_device_;
typedef struct hid_device_ hid_device;
struct libusb_device;
struct libusb_device_handle;

constexpr int kSspComponents = 128;
constexpr int kSspModes = 32;
constexpr int kDeviceIdLength = 512;

// Core results shared by the device functions.
constexpr int kCoreOk = 0;
constexpr int kCoreFailed = -1;
constexpr int kCoreNotFound = 1;
constexpr int kCoreRemoved = -20;

// The "pad is gone" mark: set by whichever thread finds the pad gone (an API
// call, a receive thread) and read by others without the pad's lock, so its
// loads and stores are atomic. Stays a plain byte so that records can still be
// cleared and copied as a whole.
struct RemovedFlag {
    bool value;
    operator bool() const { return __atomic_load_n(&value, __ATOMIC_ACQUIRE); }
    RemovedFlag &operator=(bool v) {
        __atomic_store_n(&value, v, __ATOMIC_RELEASE);
        return *this;
    }
};

struct ql_device;
typedef int (*send_ssp_message_fn)(ql_device *device, const void *data, unsigned int len);
typedef int (*receive_ssp_message_fn)(ql_device *device, void *data, unsigned int *len,
                                      unsigned int time_out, bool request, unsigned int source);

// One record per pad and per extra USB interface of a pad. Laid out once for
// every transport so that records can be cleared and copied as a whole.
struct ql_device {
    uint32_t pad_type;
    hid_device *hid;
    uint32_t bcd_device;
    uint32_t vendor_id;
    uint32_t product_id;
    char manufacturer[kMaxStringLength];
    char product[kMaxStringLength];
    char serial_number[kMaxStringLength];
    char hid_path[kMaxStringLength];
    pthread_mutex_t *device_lock;
    uint32_t interface_number;
    bool in_use;
    RemovedFlag removed;
    char device_id[kDeviceIdLength];
    char szPadSettings[kMaxStringLength];
    // Set to 690 and 184 for some models by the searches; nothing reads them.
    uint32_t model_value_1;
    uint32_t model_value_2;
    libusb_device_handle *vcom_handle;
    libusb_device *vcom_device;
    uint8_t endpoint_address_in;
    uint8_t endpoint_address_out;
    uint32_t vcom_in_size;
    uint32_t vcom_out_size;
    uni_queue *ssp_input_read;
    uni_queue *ssp_command_messages;
    send_ssp_message_fn send_ssp_message;
    receive_ssp_message_fn receive_ssp_message;
    uint8_t ssp_components[kSspComponents];
    uint32_t ct_signpad_modes[kSspModes];
    int32_t count_of_interfaces;
    ql_device **interfaces;
};

struct ql_device_list {
    ql_device devices[kMaxDevices];
    int32_t count_of_devices;
    uint32_t size;
    ql_device *current_device;
    uint16_t current_index;
};

extern ql_device_list *dev_shared;

struct dev_fw_version {
    uint32_t major;
    uint32_t minor;
    uint32_t patch;
    uint32_t revision;
    uint8_t manufacturer[4];
};

constexpr int kFlagsStatusSize = 14;
struct flags_status {
    uint8_t bytes[kFlagsStatusSize];
};

extern "C" {
EXPORT bool core_initialize(void);
EXPORT void core_uninitialize(void);
EXPORT int core_search_devices(ql_device_list *table);
EXPORT int core_looking_for_devices(void);
EXPORT int core_get_pad_settings(char *buffer);
EXPORT int core_set_device_to_current(const char *settings);
EXPORT bool core_reopen_devs(ql_device_list *table);
EXPORT bool __core_reopen_devs(void);
EXPORT bool core_close_all_devs_clear_mem(ql_device_list *table);
EXPORT int core_open_dev(ql_device *dev);
EXPORT int __core_open_dev(ql_device *dev);
EXPORT void core_close_dev(ql_device *dev);
EXPORT void __core_close_dev(ql_device *dev);
EXPORT void core_pad_settings_population(char *out, uint32_t pad_type, const char *manufacturer,
                                         const char *product, uint32_t vendor_id,
                                         uint32_t product_id, const char *serial_number,
                                         const char *device_id, int transport);
EXPORT void core_catch_is_dev_was_removed(int *result);

// Pad control commands.
EXPORT int core_read_version(ql_device *dev, dev_fw_version *version);
EXPORT int core_set_pad_mode(ql_device *dev, uint8_t mode, uint8_t option);
EXPORT int __core_get_status(ql_device *dev, flags_status *status);
EXPORT int __core_get_pad_mode(ql_device *dev);
EXPORT int core_create_signature_rectangle(ql_device *dev, uint16_t r1, uint16_t r2, uint16_t r3,
                                           uint16_t r4, uint32_t option);
EXPORT const char *ql_dev_strerror(unsigned char code);

// Transfers with recovery.
EXPORT int core_feature_read(ql_device *dev, void *data, unsigned int len);
EXPORT int core_feature_write(ql_device *dev, const void *data, unsigned int len);
EXPORT int core_output_write(ql_device *dev, const void *data, unsigned int len);
EXPORT int core_input_read(ql_device *dev, void *data, unsigned int len);

// The message exchange routines every record carries.
EXPORT int __send_ssp_message(ql_device *device, const void *data, unsigned int len);
EXPORT int __receive_ssp_message(ql_device *device, void *data, unsigned int *len,
                                 unsigned int time_out, bool request, unsigned int source);

// Report and feature transfers on an interface of the current device.
EXPORT int core_set_hid_feature_report(unsigned int interface_number, const void *data, int size);
EXPORT int core_get_hid_feature_report(unsigned int interface_number, void *data, int size);
EXPORT int core_set_unsync_hid_output_report(unsigned int interface_number, const void *data,
                                             int size);
EXPORT int core_get_hid_input_report(unsigned int interface_number, void *data, int size);

// Getters of the current device.
EXPORT int core_get_serial_number(char *buffer);
EXPORT int core_get_pad_product_id(void);
EXPORT int core_get_pad_name(char *buffer);
EXPORT int core_get_vendor_id(void);
EXPORT int core_get_pad_manufacturer(char *buffer);
EXPORT int core_get_pad_bcd_device(void);
EXPORT int core_get_count_of_hid_interfaces(void);
EXPORT int core_get_max_packet_size_of_out_endpoint(void);
EXPORT int core_get_max_packet_size_of_input_report(void);
}

// True for the models whose signature rectangle is reset when they are
// closed or made current.
bool core_resets_rectangle(uint32_t pad_type);

// The API side of the tables (unit inkport).
// Fills the API device table from a fresh search; called with
// dev_list_short_lock held. Number of pads, 0 for none, -1 on failure.
int looking_for_device();
int set_dev_to_current(unsigned int device, int lock_flag);
int get_current_dev();
// Removal hook: for -20, stops receiving on (device, end point) and tells the
// application's removed handler. Call with no library lock held.
void catch_removing_device(int result, unsigned int device, unsigned int end_point);

// Asynchronous input paths of one API interface slot.
void stop_thread(unsigned device, unsigned end_point);
// Asks the receive thread of (device, end point) to stop without waiting.
void __stop_thread(unsigned device, unsigned end_point);
void flush_data_packets(unsigned device, unsigned end_point);
// Returns only when every running delivery thread has ended.
void stop_delivery_threads();
void destroy_interface_queue(short_interface &slot);
