// The device core: the records of the core device table and their pad
// models, the current device, opening and closing a record through its
// transport, and the receive threads' waits. The table's life (initialising,
// searching, switching) is in core_table.h; the transfers with recovery are
// in core_io.cpp.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "api_common.h"
#include "wrappthread.h"

struct hid_device_;
typedef struct hid_device_ hid_device;
struct libusb_device;
struct libusb_device_handle;
struct libusb_transfer;

constexpr int kSspComponents = 128;
constexpr int kSspModes = 32;
constexpr int kDeviceIdLength = 512;
// A USB device's place on the bus: "bus-port.port...", as hidapi's paths
// begin.
constexpr int kLocationLength = 40;

// Core results shared by the device functions.
constexpr int kCoreOk = 0;
constexpr int kCoreFailed = -1;
constexpr int kCoreNotFound = 1;
constexpr int kCoreRemoved = -20;

// The "pad is gone" mark: set by whichever thread finds the pad gone (an API
// call, a receive thread) and read by others without the pad's lock, so its
// loads and stores are atomic. Stays a plain byte so that records can still be
// cleared and copied as a whole.
// Sequentially consistent: the monitor marks a pad and then looks whether a
// receive thread still streams on it, the thread stops counting itself and
// then looks at the mark; in one total order one of the two sees the other.
struct RemovedFlag {
    bool value;
    operator bool() const { return __atomic_load_n(&value, __ATOMIC_SEQ_CST); }
    RemovedFlag &operator=(bool v) {
        __atomic_store_n(&value, v, __ATOMIC_SEQ_CST);
        return *this;
    }
};

struct ql_device;
struct Transport;
typedef int (*send_ssp_message_fn)(ql_device *device, const void *data, unsigned int len);
typedef int (*receive_ssp_message_fn)(ql_device *device, void *data, unsigned int *len,
                                      unsigned int time_out, bool request, unsigned int source);

// One record per pad and per extra USB interface of a pad. Laid out once for
// every transport so that records can be cleared and copied as a whole.
struct ql_device {
    uint32_t pad_type;
    // The operations of the record's transport, set by the search that
    // fills it; null in a record of no transport.
    const Transport *transport;
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
    // Entries of the two tables the pad reported; 0 until a table is fetched.
    uint8_t ssp_component_count;
    uint8_t ct_signpad_mode_count;
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

// Holds a record's device_lock for a scope when the record has one: records
// being built by a search, and those tests make, may have none.
class DeviceLockGuard {
  public:
    DeviceLockGuard(const ql_device *dev, const char *file, int line, const char *func) {
        if (dev != nullptr && dev->device_lock != nullptr)
            guard_.emplace(dev->device_lock, "device_lock", file, line, func);
    }

  private:
    std::optional<ScopedMutex> guard_;
};
#define DEVICE_LOCK_GUARD(var, dev) DeviceLockGuard var((dev), __FILE_NAME__, __LINE__, __func__)

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

// Closes a pad's record and its extra interfaces and opens the record
// again (the extra interfaces are opened on first use): false when the open
// failed.
bool core_reopen_pad(ql_device *dev);

// True between a core_initialize whose libusb_init succeeded and
// core_uninitialize: libusb's default context is there to use.
bool core_usb_ready();
// Sets it; what it was.
bool core_set_usb_ready(bool ready);

// Whether the record has an open handle of its transport.
bool core_record_open(const ql_device *dev);
// Closes and opens a record again after a failed transfer, so that the next
// one starts on a fresh handle. False when the open failed: the record is
// then marked removed. The caller holds the record's lock where it has one.
bool core_reopen_record(ql_device *dev);
// Closes every extra interface of a pad that is open for use.
void core_close_extra_interfaces(ql_device *dev);
// Clears a record but keeps its array of extra interfaces, and lets go of
// the reference on a USB device that a VCOM search took.
void clear_record(ql_device *dev);

// The current device, or null when there is none: traced as an error, or
// only as information when `as_error` is false.
ql_device *core_current_device(bool as_error);

// Whether `pad` has an interface `number`: 0 is the pad itself, 1 up to
// count_of_interfaces - 1 its extra interfaces, and never more than the
// eight the array holds, whatever the count claims.
bool core_interface_exists(const ql_device *pad, unsigned int number);

// Record of interface `number` of `pad`: the pad itself for 0, otherwise its
// extra interface number - 1. Null when there is none: a missing array is
// always traced, a missing entry when `trace_missing`.
ql_device *core_interface_record(ql_device *pad, unsigned int number, bool trace_missing);

// The largest report of a record: its input reports, or what its out
// endpoint takes. A HID record answers by its model, any other by the bulk
// endpoint sizes it holds. The caller keeps the record from closing.
int core_packet_size(const ql_device *dev, bool input);

// ---- A receive thread's wait on a record's transport ----
//
// A receive thread waits for input with no library lock held, so that
// features, messages and output reports on the pad go ahead meanwhile. It
// begins its wait under the record's device_lock; whoever then closes the
// record, or reads a VCOM record's bulk pipe, holds device_lock (so no new
// wait begins) and first gets the waiting thread out of its wait with
// core_quiesce_reader: a VCOM wait is cancelled at once, a HID wait ends
// within its short time-out (hidapi's handle must not be closed during a
// read).
class TransportWait {
  public:
    // Begins the calling thread's wait on `dev`; dev's device_lock held.
    explicit TransportWait(const ql_device *dev);
    // Ends it and lets the threads waiting for it go on.
    ~TransportWait();
    TransportWait(const TransportWait &) = delete;
    TransportWait &operator=(const TransportWait &) = delete;

    // The bulk transfer the wait is in, which a quiescer or a stopper cancels
    // (at once, if one came before it was known); null before it is freed.
    void set_transfer(libusb_transfer *transfer);

  private:
    int slot_;
};
// Gets every thread waiting on `dev` out of its wait, and returns when none
// is left in it. The caller holds dev's device_lock; its own wait excepted.
void core_quiesce_reader(const ql_device *dev);
// Cuts a VCOM wait on `dev` short, or the next one when none is under way,
// without waiting for it; any thread.
void core_wake_reader(const ql_device *dev);
// The receive thread's read of one input report from `dev`, opened if it
// was closed: waits up to time_out ms with no lock held. The number of bytes
// copied (at most len), 0 when nothing arrived, which is no failure; a failed
// transfer closes and reopens the record: -1, or -20 when the pad is gone.
int core_input_wait(ql_device *dev, uint8_t *data, unsigned int len, unsigned int time_out);

// Texts of the argument checks of one core function on an interface of the
// current device.
struct InterfaceTexts {
    const char *null_data;
    const char *bad_size;
    const char *bad_interface;
};

// The null-record text of the pad commands.
constexpr const char *kNullDeviceParameter = "Error of parameter device *current_device is NULL";

// ---- Pad models ----

// The vendors whose pads share one product numbering, and their products
// with the model code of each, in the order the HID search asks for them.
struct pad_product {
    uint32_t product_id;
    uint32_t pad_type;
};
inline constexpr uint32_t kPadVendors[] = {0x2689, 0x22C9, 0x06A8, 0x268E};
inline constexpr pad_product kPadProducts[] = {
    {0x09E1, 13}, {0x0901, 13}, {0x0881, 12}, {0x0801, 11}, {0x0701, 10}, {0x07E1, 10}, {0x0601, 9},
    {0x06E1, 9},  {0x0C01, 15}, {0x0CE1, 16}, {0x0CF1, 16}, {0x0D01, 17}, {0x0DF1, 17}};
// The vendor of the two older models, which carry two model values.
inline constexpr uint32_t kOldPadVendor = 0x1690;
inline constexpr pad_product kOldPadProducts[] = {{0x2000, 1}, {0x2001, 8}};

// How one model differs from the others.
struct pad_type_traits {
    uint32_t pad_type;      // 0 for a code the library does not know
    bool resets_rectangle;  // its signature rectangle is reset when closed or made current
    bool reports_mode;      // a mode request is followed by polling its status
    bool has_components;    // it has SSP component and mode tables
};
// The row of a model code; for an unknown code, a row of 0 and false.
const pad_type_traits &core_pad_traits(uint32_t pad_type);
// Model code of a (vendor, product) pair, or 0 when the pair is unknown (the
// reason is traced). Sets the two model values where the model has them.
uint32_t core_pad_type(uint32_t vendor_id, uint32_t product_id, ql_device *dev);

// ---- Table and lock handling of the searches ----

// A newly allocated default mutex for a record.
pthread_mutex_t *new_device_lock();
void free_device_lock(ql_device *dev);
// Frees what a record that never reached the table owns: its lock, its
// message queues, its reference on a USB device.
void discard_record(ql_device *dev);
// Writes where `dev` is plugged in, as "bus-port.port..." (the start of a
// hidapi path of the libusb back-end).
void core_usb_location(libusb_device *dev, char *out, size_t size);
// Destroys the record's two message queues, if it has them.
void destroy_ssp_queues(ql_device *dev);
// Stores a found interface in the table: a further interface of a pad already
// there (same settings string), or a new pad in the first free slot.
// `whole_record` false stores only the model code in an extra interface (the
// VCOM search's way). Returns true when stored.
bool store_found_interface(ql_device_list *table, const ql_device &found, bool whole_record);
