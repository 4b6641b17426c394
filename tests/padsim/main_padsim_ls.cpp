// padsim_ls: lists the USB devices libusb sees and the HID interfaces hidapi
// sees, with their strings; run it under padsim to look at virtual pads.
#include <cstdio>
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

}  // namespace

int main() {
    return list_usb() | list_hid();
}
