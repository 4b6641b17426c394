#include "usb_descriptors.h"

#include <algorithm>

namespace padsim::usb {
namespace {

void put16(Bytes &out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

uint8_t endpoint_attributes(TransferType type) {
    switch (type) {
        case TransferType::Control:
            return 0x00;
        case TransferType::Bulk:
            return 0x02;
        case TransferType::Interrupt:
            return 0x03;
    }
    return 0x02;
}

uint16_t interrupt_in_size(const InterfaceSpec &intf) {
    for (const auto &ep : intf.endpoints) {
        if ((ep.address & 0x80) && ep.type == TransferType::Interrupt) {
            return ep.max_packet_size;
        }
    }
    return 64;
}

Bytes interface_report_descriptor(const InterfaceSpec &intf) {
    if (!intf.report_descriptor.empty()) {
        return intf.report_descriptor;
    }
    return vendor_report_descriptor(interrupt_in_size(intf));
}

Bytes class_descriptor(const InterfaceSpec &intf) {
    Bytes d;
    d.push_back(9);
    d.push_back(kDescHid);
    put16(d, 0x0111);  // bcdHID
    d.push_back(0);    // country
    d.push_back(1);    // one class descriptor
    d.push_back(kDescReport);
    put16(d, static_cast<uint16_t>(interface_report_descriptor(intf).size()));
    return d;
}

}  // namespace

Bytes device_descriptor(const PadConfig &config) {
    Bytes d;
    d.push_back(18);
    d.push_back(kDescDevice);
    put16(d, 0x0200);  // bcdUSB
    d.push_back(0);    // class per interface
    d.push_back(0);
    d.push_back(0);
    d.push_back(64);  // bMaxPacketSize0
    put16(d, config.vendor_id);
    put16(d, config.product_id);
    put16(d, config.bcd_device);
    d.push_back(config.manufacturer.empty() ? 0 : kStrManufacturer);
    d.push_back(config.product.empty() ? 0 : kStrProduct);
    d.push_back(config.serial.empty() ? 0 : kStrSerial);
    d.push_back(1);  // bNumConfigurations
    return d;
}

Bytes config_descriptor(const PadConfig &config) {
    Bytes d;
    d.push_back(9);
    d.push_back(kDescConfig);
    put16(d, 0);  // wTotalLength, patched below
    d.push_back(static_cast<uint8_t>(config.interfaces.size()));
    d.push_back(1);     // bConfigurationValue
    d.push_back(0);     // iConfiguration
    d.push_back(0x80);  // bus powered
    d.push_back(50);    // 100 mA
    for (size_t i = 0; i < config.interfaces.size(); ++i) {
        const InterfaceSpec &intf = config.interfaces[i];
        d.push_back(9);
        d.push_back(kDescInterface);
        d.push_back(static_cast<uint8_t>(i));
        d.push_back(0);  // bAlternateSetting
        d.push_back(static_cast<uint8_t>(intf.endpoints.size()));
        d.push_back(intf.interface_class);
        d.push_back(intf.subclass);
        d.push_back(intf.protocol);
        d.push_back(0);  // iInterface
        if (intf.interface_class == kClassHid) {
            Bytes h = class_descriptor(intf);
            d.insert(d.end(), h.begin(), h.end());
        }
        for (const auto &ep : intf.endpoints) {
            d.push_back(7);
            d.push_back(kDescEndpoint);
            d.push_back(ep.address);
            d.push_back(endpoint_attributes(ep.type));
            put16(d, ep.max_packet_size);
            d.push_back(ep.type == TransferType::Bulk ? 0 : ep.interval);
        }
    }
    d[2] = static_cast<uint8_t>(d.size() & 0xFF);
    d[3] = static_cast<uint8_t>(d.size() >> 8);
    return d;
}

Bytes sysfs_descriptors(const PadConfig &config) {
    Bytes d = device_descriptor(config);
    Bytes c = config_descriptor(config);
    d.insert(d.end(), c.begin(), c.end());
    return d;
}

std::optional<Bytes> string_descriptor(const PadConfig &config, uint8_t index) {
    const std::string *text = nullptr;
    switch (index) {
        case 0: {
            Bytes d{4, kDescString};
            put16(d, kLangEnUs);
            return d;
        }
        case kStrManufacturer:
            text = &config.manufacturer;
            break;
        case kStrProduct:
            text = &config.product;
            break;
        case kStrSerial:
            text = &config.serial;
            break;
        default:
            return std::nullopt;
    }
    if (text->empty()) {
        return std::nullopt;
    }
    // Our strings are ASCII; a descriptor holds at most 126 UTF-16 units.
    size_t units = std::min<size_t>(text->size(), 126);
    Bytes d;
    d.push_back(static_cast<uint8_t>(2 + 2 * units));
    d.push_back(kDescString);
    for (size_t i = 0; i < units; ++i) {
        put16(d, static_cast<uint8_t>((*text)[i]));
    }
    return d;
}

std::optional<Bytes> report_descriptor(const PadConfig &config, int number) {
    if (number < 0 || static_cast<size_t>(number) >= config.interfaces.size()) {
        return std::nullopt;
    }
    const InterfaceSpec &intf = config.interfaces[static_cast<size_t>(number)];
    if (intf.interface_class != kClassHid) {
        return std::nullopt;
    }
    return interface_report_descriptor(intf);
}

std::optional<Bytes> hid_descriptor(const PadConfig &config, int number) {
    if (!report_descriptor(config, number)) {
        return std::nullopt;
    }
    return class_descriptor(config.interfaces[static_cast<size_t>(number)]);
}

Bytes vendor_report_descriptor(uint16_t input_size) {
    const uint8_t in = static_cast<uint8_t>(std::min<uint16_t>(input_size, 255));
    return Bytes{
        0x06, 0x00, 0xFF,  // usage page (vendor 0xFF00)
        0x09, 0x01,        // usage 1
        0xA1, 0x01,        // collection (application)
        0x15, 0x00,        //   logical minimum 0
        0x26, 0xFF, 0x00,  //   logical maximum 255
        0x75, 0x08,        //   report size 8
        0x95, in,          //   report count: input size
        0x09, 0x01,        //   usage 1
        0x81, 0x02,        //   input (data, variable, absolute)
        0x95, 0x40,        //   report count 64
        0x09, 0x01,        //   usage 1
        0xB1, 0x02,        //   feature (data, variable, absolute)
        0xC0,              // end collection
    };
}

int speed_mbps(const PadConfig &config) {
    for (const auto &intf : config.interfaces) {
        for (const auto &ep : intf.endpoints) {
            if (ep.max_packet_size > 64) {
                return 480;
            }
        }
    }
    return 12;
}

const EndpointSpec *find_endpoint(const PadConfig &config, uint8_t address, int *interface) {
    for (size_t i = 0; i < config.interfaces.size(); ++i) {
        for (const auto &ep : config.interfaces[i].endpoints) {
            if (ep.address == address) {
                if (interface) {
                    *interface = static_cast<int>(i);
                }
                return &ep;
            }
        }
    }
    return nullptr;
}

}  // namespace padsim::usb

namespace padsim {

PadConfig PadConfig::hid(uint16_t vendor_id, uint16_t product_id, std::string serial,
                         int interfaces) {
    PadConfig c;
    c.vendor_id = vendor_id;
    c.product_id = product_id;
    c.serial = std::move(serial);
    // The one pad with 20-byte input reports.
    const uint16_t report = (vendor_id == 0x1690 && product_id == 0x2000) ? 20 : 64;
    for (int i = 0; i < interfaces; ++i) {
        InterfaceSpec intf;
        intf.interface_class = usb::kClassHid;
        intf.kernel_driver = "usbhid";
        intf.endpoints.push_back(
            {static_cast<uint8_t>(0x81 + i), TransferType::Interrupt, report, 1});
        c.interfaces.push_back(std::move(intf));
    }
    return c;
}

PadConfig PadConfig::vcom(uint16_t vendor_id, uint16_t product_id, std::string serial,
                          uint16_t in_size, uint16_t out_size) {
    PadConfig c;
    c.vendor_id = vendor_id;
    c.product_id = product_id;
    c.serial = std::move(serial);
    InterfaceSpec intf;
    intf.interface_class = 0xFF;
    intf.endpoints.push_back({0x81, TransferType::Bulk, in_size, 0});
    intf.endpoints.push_back({0x02, TransferType::Bulk, out_size, 0});
    c.interfaces.push_back(std::move(intf));
    return c;
}

bool PadConfig::is_hid() const {
    for (const auto &intf : interfaces) {
        if (intf.interface_class == usb::kClassHid) {
            return true;
        }
    }
    return false;
}

}  // namespace padsim
