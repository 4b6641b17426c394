// The boundary between the emulated USB device (umockdev, usbfs ioctls) and
// the model of a pad's firmware. The USB side turns URBs into these calls;
// the firmware answers them and pushes unrequested data (pen reports, bulk IN
// replies) through FirmwareHost. Both sides are thread-safe: the USB side
// calls in from umockdev's handler thread, the firmware may call the host from
// its own timer thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace padsim {

using Bytes = std::vector<uint8_t>;

class FirmwareHost {
  public:
    virtual ~FirmwareHost() = default;
    // HID pads: one input report on the interrupt IN endpoint of `interface`.
    virtual void queue_interrupt_in(int interface, Bytes report) = 0;
    // VCOM pads: bytes that the next bulk IN transfers return, in order.
    virtual void queue_bulk_in(Bytes data) = 0;
};

class Firmware {
  public:
    virtual ~Firmware() = default;
    virtual void attach(FirmwareHost *host) = 0;
    // HID: data stage of a class SET_REPORT (Feature, report id 0) on
    // `interface`, without a report-id byte. False makes the transfer stall.
    virtual bool set_feature(int interface, const Bytes &data) = 0;
    // HID: class GET_REPORT (Feature, report id 0) of at most `length`
    // bytes. nullopt makes the transfer stall.
    virtual std::optional<Bytes> get_feature(int interface, size_t length) = 0;
    // VCOM: one bulk OUT transfer. False makes the transfer fail.
    virtual bool bulk_out(const Bytes &data) = 0;
};

}  // namespace padsim
