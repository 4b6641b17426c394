// padsim_ls: lists the USB devices libusb sees and the HID interfaces hidapi
// sees, with their strings; run it under padsim to look at virtual pads.
// `padsim_ls --hotplug N` prints libusb's next N hot-plug events instead
// ("arrived VID:PID", "left VID:PID") and gives up after 10 seconds.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include <hidapi/hidapi.h>
#include <libusb.h>

namespace {

void print_string(libusb_device_handle *handle, uint8_t index, const char *label) {
    if (index == 0 || !handle) {
        return;
    }
    unsigned char text[256];
    int n = libusb_get_string_descriptor_ascii(handle, index, text, sizeof text);
    if (n >= 0) {
        std::printf(" %s=\"%.*s\"", label, n, reinterpret_cast<const char *>(text));
    }
}

int list_usb() {
    libusb_context *ctx = nullptr;
    if (libusb_init(&ctx) != 0) {
        std::fprintf(stderr, "padsim_ls: libusb_init failed\n");
        return 1;
    }
    libusb_device **list = nullptr;
    ssize_t count = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device *dev = list[i];
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(dev, &desc) != 0) {
            continue;
        }
        std::printf("usb %03d/%03d %04x:%04x", libusb_get_bus_number(dev),
                    libusb_get_device_address(dev), desc.idVendor, desc.idProduct);
        libusb_device_handle *handle = nullptr;
        if (libusb_open(dev, &handle) == 0) {
            print_string(handle, desc.iManufacturer, "manufacturer");
            print_string(handle, desc.iProduct, "product");
            print_string(handle, desc.iSerialNumber, "serial");
            libusb_close(handle);
        }
        libusb_config_descriptor *config = nullptr;
        if (libusb_get_active_config_descriptor(dev, &config) == 0) {
            for (int j = 0; j < config->bNumInterfaces; ++j) {
                const libusb_interface_descriptor &alt = config->interface[j].altsetting[0];
                std::printf(" if%d:class=%02x", j, alt.bInterfaceClass);
                for (int k = 0; k < alt.bNumEndpoints; ++k) {
                    std::printf(",ep%02x/%d", alt.endpoint[k].bEndpointAddress,
                                alt.endpoint[k].wMaxPacketSize);
                }
            }
            libusb_free_config_descriptor(config);
        }
        std::printf("\n");
    }
    if (count >= 0) {
        libusb_free_device_list(list, 1);
    }
    libusb_exit(ctx);
    return 0;
}

int list_hid() {
    if (hid_init() != 0) {
        std::fprintf(stderr, "padsim_ls: hid_init failed\n");
        return 1;
    }
    hid_device_info *list = hid_enumerate(0, 0);
    for (hid_device_info *d = list; d; d = d->next) {
        std::printf("hid %04x:%04x interface %d serial \"%ls\" product \"%ls\" path %s\n",
                    d->vendor_id, d->product_id, d->interface_number,
                    d->serial_number ? d->serial_number : L"",
                    d->product_string ? d->product_string : L"", d->path);
    }
    hid_free_enumeration(list);
    hid_exit();
    return 0;
}

int print_hotplug(libusb_context *, libusb_device *dev, libusb_hotplug_event event, void *user) {
    libusb_device_descriptor desc{};
    libusb_get_device_descriptor(dev, &desc);
    std::printf("%s %04x:%04x\n", event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED ? "arrived" : "left",
                desc.idVendor, desc.idProduct);
    std::fflush(stdout);
    ++*static_cast<long *>(user);
    return 0;
}

int watch_hotplug(long events) {
    libusb_context *ctx = nullptr;
    if (libusb_init(&ctx) != 0) {
        std::fprintf(stderr, "padsim_ls: libusb_init failed\n");
        return 1;
    }
    long seen = 0;
    if (libusb_hotplug_register_callback(
            ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, 0,
            LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
            print_hotplug, &seen, nullptr) != LIBUSB_SUCCESS) {
        std::fprintf(stderr, "padsim_ls: no hot-plug support\n");
        libusb_exit(ctx);
        return 1;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (seen < events && std::chrono::steady_clock::now() < deadline) {
        timeval tv{0, 100000};
        libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
    }
    libusb_exit(ctx);
    return seen < events ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "--hotplug") == 0) {
        return watch_hotplug(std::strtol(argv[2], nullptr, 10));
    }
    return list_usb() | list_hid();
}
