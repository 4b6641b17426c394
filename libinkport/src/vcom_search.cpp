// The VCOM side seen from the device core: finding pads with a vendor
// interface of bulk endpoints, and the four report operations, which travel
// as legacy SSP messages over the bulk pipe.
#include <libusb.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "core_ssp.h"
#include "ssp_base_message.h"
#include "ssp_common.h"
#include "ssp_transport_token.h"
#include "transport.h"
#include "vcom.h"
#include "wrappers.h"
#include "wrapunix.h"

namespace {

struct SearchEntry {
    uint32_t vendor_id;
    uint32_t product_id;
};

constexpr SearchEntry vcom_device_list[] = {
    {0x2689, 0xFF01}, {0x2689, 0xFF02}, {0x22C9, 0xFF01}, {0x22C9, 0xFF02}, {0x06A8, 0xFF01},
    {0x06A8, 0xFF02}, {0x268E, 0xFF01}, {0x268E, 0xFF02}, {0x0711, 0x0230}, {0, 0},
};

// Vendor 0x0711 is a generic bridge chip that other makers use too; only the
// manufacturer string tells our pads apart.
constexpr uint32_t kBridgeVendor = 0x0711;
constexpr const char *kBridgeManufacturers[] = {"Quillon", "Tovaro", "yxmeo"};

constexpr int kVcomInterface = 0;
constexpr uint32_t kVcomOutSize = 64;
constexpr uint8_t kPadMode = 1;
constexpr unsigned int kFeatureTimeoutMs = 1000;
constexpr unsigned int kInputTimeoutMs = 100;
constexpr unsigned int kInputSource = 1;
constexpr unsigned int kCommandSource = 2;
// A legacy message of one whole frame: its header byte and 64 bytes.
constexpr unsigned int kMaxLegacyMessage = 65;
constexpr useconds_t kZeroDataPauseUs = 1000;
constexpr unsigned int kDefaultVcomPacket = 64;
// Asks a VCOM pad for its feature report: an old biodata message holding 0.
constexpr uint8_t kLegacyFeatureRequest[] = {SSP_OLD_MESSAGE_FLAG | SSP_BIODATA_FLAG, 0x00};

struct Endpoints {
    uint8_t in_address = 0;
    uint8_t out_address = 0;
    uint32_t in_size = 0;
    uint32_t out_size = 0;
    bool have_in = false;
    bool have_out = false;
    bool complete() const { return have_in && have_out; }
};

bool bridge_manufacturer_ok(const char *manufacturer) {
    for (const char *word : kBridgeManufacturers)
        if (strncmp(manufacturer, word, strlen(word)) == 0)
            return true;
    return false;
}

// An empty string when the pad has none or it cannot be read.
void read_usb_string(libusb_device_handle *handle, uint8_t index, char *out) {
    memset(out, 0, kMaxStringLength);
    if (index == 0)
        return;
    int n = libusb_get_string_descriptor_ascii(
        handle, index, reinterpret_cast<unsigned char *>(out), kMaxStringLength - 1);
    if (n < 0) {
        TRACE_ERROR("libusb_get_string_descriptor_ascii() failed: %s", libusb_error_name(n));
        memset(out, 0, kMaxStringLength);
    }
}

// Looks for the largest IN and OUT endpoints among the alternate settings
// that have at least two endpoints; stops as soon as it has a pair.
Endpoints scan_endpoints(libusb_device *dev, uint8_t configurations) {
    Endpoints found;
    for (uint8_t c = 0; c < configurations && !found.complete(); ++c) {
        libusb_config_descriptor *config = nullptr;
        int r = libusb_get_config_descriptor(dev, c, &config);
        if (r != 0) {
            TRACE_ERROR("libusb_get_config_descriptor() failed and return %d", r);
            continue;
        }
        for (int i = 0; i < config->bNumInterfaces && !found.complete(); ++i) {
            const libusb_interface &iface = config->interface[i];
            for (int a = 0; a < iface.num_altsetting && !found.complete(); ++a) {
                const libusb_interface_descriptor &alt = iface.altsetting[a];
                if (alt.bNumEndpoints < 2) {
                    TRACE_INFO("Skip interface[%d] > descriptor[%d]", i, a);
                    continue;
                }
                for (int e = 0; e < alt.bNumEndpoints && !found.complete(); ++e) {
                    const libusb_endpoint_descriptor &ep = alt.endpoint[e];
                    bool in =
                        (ep.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN;
                    if (in && ep.wMaxPacketSize > found.in_size) {
                        found.in_address = ep.bEndpointAddress;
                        found.in_size = ep.wMaxPacketSize;
                        found.have_in = true;
                    } else if (!in && ep.wMaxPacketSize > found.out_size) {
                        // Legacy messages carry at most 64 bytes, whatever
                        // the endpoint could take.
                        found.out_address = ep.bEndpointAddress;
                        found.out_size = kVcomOutSize;
                        found.have_out = true;
                    }
                }
            }
        }
        libusb_free_config_descriptor(config);
    }
    return found;
}

// Asks the pad who it is and names the record after the answer. False when
// the pad is not one of ours.
bool describe_pad(ql_device &rec) {
    // The mode answer is not needed: a pad that ignores it still describes
    // itself, and one that does not is skipped below.
    core_set_pad_mode(&rec, kPadMode, 0);
    int r = ssp_common_get_pad_description(&rec);
    if (r != 0) {
        TRACE_ERROR("ssp_common_get_pad_description() failed and return %d", r);
        return false;
    }
    snprintf(rec.device_id, sizeof rec.device_id, "%x%x%s", rec.vendor_id, rec.product_id,
             rec.serial_number);
    rec.pad_type = core_pad_type(rec.vendor_id, rec.product_id, &rec);
    if (rec.pad_type == 0)
        return false;
    // Unlike its HID sibling, the bulk-pipe 1690:2000 has no model values.
    if (rec.vendor_id == 0x1690 && rec.product_id == 0x2000) {
        rec.model_value_1 = 0;
        rec.model_value_2 = 0;
    }
    return true;
}

// The form in which the table keeps a described pad: no open handle, no
// message queues, a reference of its own on the USB device, its settings
// string. The record's lock goes with it.
ql_device stored_form(const ql_device &rec) {
    ql_device stored = rec;
    stored.removed = false;
    stored.vcom_handle = nullptr;
    stored.ssp_input_read = nullptr;
    stored.ssp_command_messages = nullptr;
    stored.interfaces = nullptr;
    stored.vcom_device = libusb_ref_device(rec.vcom_device);
    core_pad_settings_population(stored.szPadSettings, stored.pad_type, stored.manufacturer,
                                 stored.product, stored.vendor_id, stored.product_id,
                                 stored.serial_number, stored.device_id, 1);
    return stored;
}

// Stores a pad in its stored form. The table takes the record's lock and its
// reference on the USB device only when the pad gets a slot of its own
// (true); a further interface of a pad already there keeps just the model
// code.
bool store_pad(ql_device_list *table, const ql_device &stored, int *result) {
    if (table == nullptr) {
        TRACE_ERROR("error: search_vcom_devices(), dev_shared is NULL");
        return false;
    }
    int before = table->count_of_devices;
    if (store_found_interface(table, stored, false))
        *result = table->count_of_devices;
    return table->count_of_devices > before;
}

// Opens one USB device of the search pair `entry` and describes it: true
// with the pad's stored form in `stored`, which owns a lock and a reference
// on the device until the table takes them.
bool describe_device(libusb_device *dev, const SearchEntry &entry, ql_device &stored) {
    libusb_device_descriptor desc;
    int r = libusb_get_device_descriptor(dev, &desc);
    if (r != 0) {
        TRACE_ERROR("libusb_get_device_descriptor() failed and return %d", r);
        return false;
    }
    if (desc.idVendor != entry.vendor_id || desc.idProduct != entry.product_id)
        return false;

    ql_device rec{};
    rec.transport = &vcom_transport;
    rec.vcom_handle = vcom_open_dev(dev);
    if (rec.vcom_handle == nullptr)
        return false;
    read_usb_string(rec.vcom_handle, desc.iManufacturer, rec.manufacturer);
    if (entry.vendor_id == kBridgeVendor && !bridge_manufacturer_ok(rec.manufacturer)) {
        TRACE_ERROR("It looks like not Quillon's device because manufacturer: %s",
                    rec.manufacturer);
        vcom_close_dev(rec.vcom_handle);
        return false;
    }
    read_usb_string(rec.vcom_handle, desc.iProduct, rec.product);
    char serial[kMaxStringLength];
    read_usb_string(rec.vcom_handle, desc.iSerialNumber, serial);
    TRACE_INFO("VCOM device %04x:%04x manufacturer \"%s\" product \"%s\" serial \"%s\"",
               desc.idVendor, desc.idProduct, rec.manufacturer, rec.product, serial);

    Endpoints ep = scan_endpoints(dev, desc.bNumConfigurations);
    if (!ep.complete()) {
        TRACE_INFO("no pair of bulk endpoints on %04x:%04x", desc.idVendor, desc.idProduct);
        vcom_close_dev(rec.vcom_handle);
        return false;
    }
    if (libusb_kernel_driver_active(rec.vcom_handle, kVcomInterface) == 1) {
        r = libusb_detach_kernel_driver(rec.vcom_handle, kVcomInterface);
        if (r != 0)
            TRACE_ERROR("libusb_detach_kernel_driver() failed: %s", libusb_error_name(r));
    }
    r = libusb_claim_interface(rec.vcom_handle, kVcomInterface);
    if (r != 0) {
        TRACE_ERROR("libusb_claim_interface() failed and return %d", r);
        TRACE_ERROR("%s", libusb_error_name(r));
    }

    // The caller's list holds the device while the record is examined; a
    // failed exchange reopens the record from it.
    rec.vcom_device = dev;
    rec.endpoint_address_in = ep.in_address;
    rec.endpoint_address_out = ep.out_address;
    rec.vcom_in_size = ep.in_size;
    rec.vcom_out_size = ep.out_size;
    rec.device_lock = new_device_lock();
    rec.send_ssp_message = __send_ssp_message;
    rec.receive_ssp_message = __receive_ssp_message;

    bool described = describe_pad(rec);
    if (described)
        stored = stored_form(rec);
    else
        free_device_lock(&rec);
    destroy_ssp_queues(&rec);
    // A failed exchange closes and reopens the record, so the field holds
    // the handle to close now, or none if the reopen failed.
    vcom_close_dev(rec.vcom_handle);
    return described;
}

// Examines one USB device of the search pair `entry`.
void examine_device(ql_device_list *table, libusb_device *dev, const SearchEntry &entry,
                    int *result) {
    ql_device stored{};
    if (describe_device(dev, entry, stored) && !store_pad(table, stored, result))
        discard_record(&stored);
}

// Takes `len` bytes of data out of a received legacy message.
int legacy_payload(const uint8_t *message, unsigned int received, void *data, unsigned int len,
                   int *copied) {
    if (ssp_base_message_is_it_old_message(message) != 1)
        return -1;
    unsigned int length = ssp_base_message_old_message_get_data_length(message);
    if (length < 1 || received < 2)
        return -1;
    unsigned int n = std::min({length, len, received - 1});
    memcpy(data, message + 1, n);
    *copied = static_cast<int>(n);
    return 0;
}

bool check_report_args(const char *func, const ql_device *dev, const void *data, unsigned int len,
                       bool reader) {
    ArgCheck check({__FILE_NAME__, __LINE__, func});
    if (!check.length(len, kArgLen).data(data).handle(dev, kArgCurrentDevice))
        return false;
    const bool routine =
        reader ? dev->receive_ssp_message != nullptr : dev->send_ssp_message != nullptr;
    return check
        .handle(dev->vcom_handle, reader
                                      ? "Error, struct libusb_device_handle *vcom_handle; is NULL"
                                      : "Error, libusb_device_handle *vcom_handle is NULL")
        .require(routine, "Error, the record has no message routine")
        .ok();
}

// Feature and output reports both go out as one legacy message. The send
// result, or -1 when the message could not be built.
int send_legacy(const char *func, ql_device *dev, const void *data, unsigned int len) {
    void *message = nullptr;
    int size = ssp_base_message_old_message_create(data, len, &message);
    if (size < 1 || message == nullptr) {
        trace_error(__FILE_NAME__, __LINE__, func, false,
                    "Error, ssp_base_message_old_message_create() returned: %d", size);
        free(message);
        return -1;
    }
    int r = dev->send_ssp_message(dev, message, static_cast<unsigned int>(size));
    if (r == LIBUSB_ERROR_NO_DEVICE)
        dev->removed = true;
    if (r != 0)
        trace_error(__FILE_NAME__, __LINE__, func, false,
                    "__send_ssp_message() failed with return code %d", r);
    free(message);
    return r;
}

// The search pair of (vendor_id, product_id), or null.
const SearchEntry *search_entry(uint32_t vendor_id, uint32_t product_id) {
    for (const SearchEntry *e = vcom_device_list; e->vendor_id != 0; ++e)
        if (e->vendor_id == vendor_id && e->product_id == product_id)
            return e;
    return nullptr;
}

unsigned int vcom_packet_size(const ql_device *dev) {
    unsigned int packet = dev->vcom_in_size;
    return packet == 0 || packet > kSspReadBufferSize ? kDefaultVcomPacket : packet;
}

// The most a fresh read takes: whole packets of the bulk IN endpoint (a
// read shorter than a packet would overflow) that fit the read buffer.
unsigned int vcom_read_room(const ql_device *dev) {
    return kSspReadBufferSize - kSspReadBufferSize % vcom_packet_size(dev);
}

// A queued pen message's payload into data: bytes copied, 0 when none is
// queued or it is no legacy message.
int take_input_payload(ql_device *dev, uint8_t *data, unsigned int len) {
    uint8_t message[kMaxLegacyMessage];
    unsigned int size = std::min(len + 1, static_cast<unsigned int>(sizeof message));
    if (!ssp_take_input(dev, message, &size))
        return 0;
    int copied = 0;
    if (legacy_payload(message, size, data, size - 1, &copied) != 0) {
        TRACE_INFO("ssp_base_message_is_it_old_message() return 0, so it is not legacy message");
        return 0;
    }
    return copied;
}

}  // namespace

int vcom_input_wait(ql_device *dev, uint8_t *data, unsigned int len, unsigned int time_out) {
    libusb_device_handle *handle;
    uint8_t endpoint;
    int want;
    std::optional<TransportWait> wait;
    {
        DEVICE_LOCK_GUARD(guard, dev);
        if (int n = take_input_payload(dev, data, len))
            return n;
        handle = dev->vcom_handle;
        if (handle == nullptr)
            return 0;
        endpoint = dev->endpoint_address_in;
        want = static_cast<int>(vcom_read_room(dev));
        wait.emplace(dev);
    }
    auto *buffer = static_cast<uint8_t *>(Calloc(kSspReadBufferSize, 1));
    int n = vcom_wait_bulk_in(*wait, handle, endpoint, buffer, want, time_out);
    int result = 0;
    if (n < 0) {
        result = n;
    } else if (n > 0 && !is_it_zero_array(buffer, static_cast<size_t>(n))) {
        // Sorted before the wait ends: a thread that takes the pipe next
        // finds these messages queued ahead of what it reads.
        ssp_sort_read(dev, buffer, static_cast<unsigned int>(n), kInputTimeoutMs);
    } else if (n > 0) {
        // Pads send zero-filled transfers while they have nothing to say.
        usleep(kZeroDataPauseUs);
    }
    wait.reset();
    free(buffer);
    if (result == LIBUSB_ERROR_NO_DEVICE || dev->removed) {
        dev->removed = true;
        return LIBUSB_ERROR_NO_DEVICE;
    }
    return result < 0 ? result : take_input_payload(dev, data, len);
}

bool vcom_searches_for(uint32_t vendor_id, uint32_t product_id) {
    return search_entry(vendor_id, product_id) != nullptr;
}

bool describe_arrived_vcom_pad(uint16_t vendor_id, uint16_t product_id, const char *location,
                               ql_device *out) {
    const SearchEntry *entry = search_entry(vendor_id, product_id);
    // Without the default context there is no list to look in.
    if (entry == nullptr || !core_usb_ready())
        return false;
    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(nullptr, &list);
    bool described = false;
    for (ssize_t i = 0; i < n && !described; ++i) {
        char at[kLocationLength];
        core_usb_location(list[i], at, sizeof at);
        if (strcmp(at, location) == 0)
            described = describe_device(list[i], *entry, *out);
    }
    if (n >= 0)
        libusb_free_device_list(list, 1);
    return described;
}

extern "C" {

EXPORT int search_vcom_devices(ql_device_list *table) {
    TRACE_SCOPE();
    int result = -1;
    if (!core_usb_ready()) {
        // Without the default context libusb has no list to give.
        TRACE_ERROR("libusb is not initialized: bulk-pipe pads are not searched");
        return result;
    }
    for (const SearchEntry *e = vcom_device_list; e->vendor_id != 0; ++e) {
        libusb_set_option(nullptr, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_ERROR);
        libusb_device **list = nullptr;
        ssize_t n = libusb_get_device_list(nullptr, &list);
        if (n < 0) {
            TRACE_ERROR("libusb_get_device_list() failed and return %d", static_cast<int>(n));
            TRACE_ERROR("%s", libusb_error_name(static_cast<int>(n)));
            continue;
        }
        if (n == 0) {
            libusb_free_device_list(list, 1);
            return 0;
        }
        for (ssize_t i = 0; i < n; ++i)
            examine_device(table, list[i], *e, &result);
        libusb_free_device_list(list, 1);
    }
    return result;
}

EXPORT int vcom_feature_read(ql_device *dev, void *data, unsigned int len) {
    if (!check_report_args(__func__, dev, data, len, true))
        return -1;
    // Room for the header byte; a longer message is cut, which is all the
    // caller asked for.
    unsigned int size = len + 1;
    auto *message = static_cast<uint8_t *>(Calloc(size, 1));
    int r = dev->receive_ssp_message(dev, message, &size, kFeatureTimeoutMs, true, kCommandSource);
    if (r == 0) {
        int copied = 0;
        r = legacy_payload(message, size, data, len, &copied);
        if (r == 0)
            TRACE_INFO("feature_report with size %d was gotten", copied);
    }
    free(message);
    return r;
}

EXPORT int vcom_feature_write(ql_device *dev, const void *data, unsigned int len) {
    if (!check_report_args(__func__, dev, data, len, false))
        return -1;
    return send_legacy(__func__, dev, data, len);
}

EXPORT int vcom_output_write(ql_device *dev, const void *data, unsigned int len) {
    if (!check_report_args(__func__, dev, data, len, false))
        return -1;
    return send_legacy(__func__, dev, data, len) == 0 ? 0 : -1;
}

EXPORT int vcom_input_read(ql_device *dev, void *data, unsigned int len) {
    if (!check_report_args(__func__, dev, data, len, true)) {
        // A closed record is "nothing to read", not a failure.
        bool closed = len != 0 && data != nullptr && dev != nullptr && dev->vcom_handle == nullptr;
        return closed ? 0 : -1;
    }
    unsigned int size = len + 1;
    auto *message = static_cast<uint8_t *>(Calloc(size, 1));
    int r = dev->receive_ssp_message(dev, message, &size, kInputTimeoutMs, false, kInputSource);
    int result = r;
    if (r == LIBUSB_ERROR_NO_DEVICE) {
        dev->removed = true;
        result = 0;
    } else if (r == LIBUSB_ERROR_TIMEOUT) {
        result = 0;  // nothing to read: the pad is quiet
    } else if (r == 0) {
        int copied = 0;
        if (legacy_payload(message, size, data, len, &copied) == 0) {
            result = copied;
        } else {
            TRACE_INFO(
                "ssp_base_message_is_it_old_message() return 0, so it is not legacy message");
            result = 0;
        }
    }
    free(message);
    return result;
}

EXPORT uint32_t AddComDevice(void *first, uint32_t value, void *second) {
    TRACE_SCOPE();
    (void)first;
    (void)value;
    (void)second;
    api_not_implemented(API_SITE);
    return 0;
}

}  // extern "C"

// ---- The transport table ----

namespace {

int vcom_open(ql_device *dev) {
    if (dev->vcom_handle != nullptr || dev->vcom_device == nullptr)
        return 0;
    dev->vcom_handle = vcom_open_dev(dev->vcom_device);
    return dev->vcom_handle != nullptr ? 0 : -1;
}

void vcom_close_record(ql_device *dev) {
    vcom_close_dev(dev->vcom_handle);
    dev->vcom_handle = nullptr;
}

bool vcom_is_open(const ql_device *dev) {
    return dev->vcom_handle != nullptr;
}

int vcom_packet_size_of(const ql_device *dev, bool input) {
    return static_cast<int>(input ? dev->vcom_in_size : dev->vcom_out_size);
}

int vcom_describe_arrived(uint16_t vendor_id, uint16_t product_id, const char *location,
                          ql_device *out, int capacity) {
    return capacity > 0 && describe_arrived_vcom_pad(vendor_id, product_id, location, out) ? 1 : 0;
}

// libusb's default context is the core's to end.
void vcom_end() {}

int vcom_ssp_send(ql_device *dev, const uint8_t *tokens, unsigned int size) {
    int r =
        usb_data_send(dev->vcom_handle, dev->endpoint_address_out, tokens, static_cast<int>(size));
    if (r != 0) {
        if (r == LIBUSB_ERROR_NO_DEVICE)
            dev->removed = true;
        TRACE_ERROR("Error of send/write data by usb_data_send(), it returns: %d", r);
    }
    return r;
}

// A fresh read of a reply first asks for the feature report; every read
// takes whole packets only, as a shorter bulk read would overflow.
int vcom_ssp_read(ql_device *dev, uint8_t *buffer, unsigned int size, unsigned int time_out,
                  bool fresh, bool request) {
    if (fresh && request) {
        int s = __send_ssp_message(dev, kLegacyFeatureRequest, sizeof kLegacyFeatureRequest);
        if (s != 0) {
            trace_error(__FILE_NAME__, __LINE__, "__receive_ssp_message", false,
                        "usb_data_send() return: %d", s);
            return -1;
        }
    }
    unsigned int want = size - size % vcom_packet_size(dev);
    int n = vcom_read_ssp_data(dev, buffer, want, time_out, fresh);
    if (n < 1) {
        if (n == LIBUSB_ERROR_NO_DEVICE)
            dev->removed = true;
        if (n != LIBUSB_ERROR_TIMEOUT)
            trace_error(__FILE_NAME__, __LINE__, "__receive_ssp_message", false,
                        "Error, vcom_read_ssp_data() return: %d", n);
        return n < 0 ? n : -1;
    }
    return n;
}

}  // namespace

const Transport vcom_transport = {
    .name = "VCOM",
    .search = search_vcom_devices,
    .searches_for = vcom_searches_for,
    .describe_arrived = vcom_describe_arrived,
    .end = vcom_end,
    .open = vcom_open,
    .close = vcom_close_record,
    .is_open = vcom_is_open,
    .feature_read = vcom_feature_read,
    .feature_write = vcom_feature_write,
    .output_write = vcom_output_write,
    .input_read = vcom_input_read,
    .packet_size = vcom_packet_size_of,
    .input_wait = vcom_input_wait,
    .ssp_send = vcom_ssp_send,
    .ssp_read = vcom_ssp_read,
    .ssp_read_size = vcom_packet_size,
    .ssp_shares_input_pipe = true,
};
