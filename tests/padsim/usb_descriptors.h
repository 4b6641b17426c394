// USB descriptors of a virtual pad, built from its PadConfig. Pure byte
// building: no I/O, so the usbfs side and the sysfs entry share one source.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "padsim.h"

namespace padsim::usb {

constexpr uint8_t kDescDevice = 0x01;
constexpr uint8_t kDescConfig = 0x02;
constexpr uint8_t kDescString = 0x03;
constexpr uint8_t kDescInterface = 0x04;
constexpr uint8_t kDescEndpoint = 0x05;
constexpr uint8_t kDescHid = 0x21;
constexpr uint8_t kDescReport = 0x22;

constexpr uint8_t kClassHid = 0x03;
constexpr uint16_t kLangEnUs = 0x0409;

// String descriptor indexes; 0 means "no string".
constexpr uint8_t kStrManufacturer = 1;
constexpr uint8_t kStrProduct = 2;
constexpr uint8_t kStrSerial = 3;

Bytes device_descriptor(const PadConfig &config);
// The whole configuration: configuration, interface, HID and endpoint
// descriptors, wTotalLength filled in.
Bytes config_descriptor(const PadConfig &config);
// The sysfs "descriptors" attribute: device descriptor, then configuration.
Bytes sysfs_descriptors(const PadConfig &config);
// Index 0 is the language list; nullopt for an index the pad does not have.
std::optional<Bytes> string_descriptor(const PadConfig &config, uint8_t index);
// The report descriptor of interface `number`; nullopt if it is not HID.
std::optional<Bytes> report_descriptor(const PadConfig &config, int number);
// The class descriptor of HID interface `number`; nullopt if it is not HID.
std::optional<Bytes> hid_descriptor(const PadConfig &config, int number);
// A vendor-page report descriptor: input and feature reports of
// `input_size` and 64 bytes, no report ids.
Bytes vendor_report_descriptor(uint16_t input_size);
// Full speed unless an endpoint needs high speed.
int speed_mbps(const PadConfig &config);

const EndpointSpec *find_endpoint(const PadConfig &config, uint8_t address, int *interface);

}  // namespace padsim::usb
