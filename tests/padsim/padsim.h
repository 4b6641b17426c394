// The emulated-pad bench: virtual USB signature pads that the real libusb and
// the real hidapi (libusb back-end) see through umockdev.
//
// A Testbed owns a umockdev testbed and any number of virtual pads. Each pad
// answers the usbfs ioctls of the processes that open it: descriptors and
// strings from its PadConfig, HID feature reports and bulk transfers through
// its Firmware, input reports and bulk IN data from what the firmware queues.
// Tests inspect what a pad saw in its transfer log and can make transfers
// stall, fail or wait, or pull the plug.
//
// Threads: the usbfs side runs on umockdev's worker thread; every public
// member of Pad may be called from any other thread. The firmware is called
// only from the worker thread; it may call its FirmwareHost from any thread.
//
// Order of things in a process (libusb and hidapi cache what they saw):
// create the Testbed before libusb_init()/hid_init(), and end every libusb
// context (hid_exit() included) before the Testbed is destroyed.
//
// Hot-plug: a pad plugged in (add_pad, replug) or pulled (unplug) while
// programs run is announced to them by the uevent the kernel would send, an
// "add" or a "remove" of the USB device, which reaches libusb's udev monitor
// in every process of the testbed (its hot-plug callbacks, its device list).
// umockdev describes the device in that event through libudev of the process
// that owns the testbed, so that process runs under libumockdev-preload as
// well (restart_under_preload); in a process without it no event goes out.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "firmware.h"

namespace padsim {

enum class TransferType : uint8_t { Control, Bulk, Interrupt };

struct EndpointSpec {
    uint8_t address = 0;  // bit 7 set: IN
    TransferType type = TransferType::Bulk;
    uint16_t max_packet_size = 64;
    uint8_t interval = 1;
};

struct InterfaceSpec {
    uint8_t interface_class = 0xFF;
    uint8_t subclass = 0;
    uint8_t protocol = 0;
    std::vector<EndpointSpec> endpoints;
    // HID interfaces (class 3): the report descriptor. Empty gives a
    // vendor-page descriptor sized from the interrupt IN endpoint.
    Bytes report_descriptor;
    // The kernel driver bound to the interface when the pad is plugged in
    // ("usbhid" for HID interfaces by default); empty: none. A bound driver
    // makes a claim fail until it is detached, as on a real host.
    std::string kernel_driver;
};

struct PadConfig {
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    uint16_t bcd_device = 0x0100;
    std::string manufacturer = "Quillon";
    std::string product = "Signature Pad";
    std::string serial;  // empty: the device has no serial number string
    std::vector<InterfaceSpec> interfaces;

    // A HID pad: `interfaces` HID interfaces, each with one interrupt IN
    // endpoint of 64 bytes (20 for 1690:2000, the pad with short reports).
    static PadConfig hid(uint16_t vendor_id, uint16_t product_id, std::string serial,
                         int interfaces = 1);
    // A VCOM pad: one vendor-class interface with a bulk IN and a bulk OUT
    // endpoint of the given sizes.
    static PadConfig vcom(uint16_t vendor_id, uint16_t product_id, std::string serial,
                          uint16_t in_size = 64, uint16_t out_size = 64);

    bool is_hid() const;
};

// One completed URB as the pad saw it.
struct Transfer {
    TransferType type = TransferType::Control;
    uint8_t endpoint = 0;  // bit 7 set: IN (for control: the direction of the data stage)
    Bytes setup;           // control transfers: the 8-byte setup packet
    Bytes data;            // OUT: what the host sent; IN: what the pad returned
    int status = 0;        // 0, or the negative errno the host was given

    bool is_in() const { return (endpoint & 0x80) != 0; }
    // Control transfers: the decoded setup packet.
    uint8_t request_type() const { return setup.size() == 8 ? setup[0] : 0; }
    uint8_t request() const { return setup.size() == 8 ? setup[1] : 0; }
    uint16_t value() const;
    uint16_t index() const;
};

std::string to_string(const Transfer &t);

// Which transfers a fault or a delay applies to.
enum class Target : uint8_t { Control, BulkOut, BulkIn, InterruptIn };

// When add_pad plugs the pad in: at once, or at its first replug().
enum class Plug : uint8_t { Now, Later };

class Testbed;
class UsbfsDevice;
struct PadState;

class Pad {
  public:
    Pad(const Pad &) = delete;
    Pad &operator=(const Pad &) = delete;
    ~Pad();

    const PadConfig &config() const;
    int bus() const;
    int address() const;  // the device number while plugged in
    bool plugged() const;

    // Replaces the firmware; the pad owns it. Without firmware, SET_REPORT
    // and bulk OUT are accepted, GET_REPORT stalls and bulk IN stays empty.
    Firmware &set_firmware(std::unique_ptr<Firmware> firmware);
    template <class F, class... Args>
    F &emplace_firmware(Args &&...args) {
        auto fw = std::make_unique<F>(std::forward<Args>(args)...);
        F &ref = *fw;
        set_firmware(std::move(fw));
        return ref;
    }
    Firmware *firmware() const;
    // The host side the firmware talks to, for tests that push data directly.
    FirmwareHost &host();

    // Transfer log, in order of completion (the oldest entries go beyond
    // 100000).
    std::vector<Transfer> log() const;
    void clear_log();
    // Waits until `done(log)` holds; false if it did not within `timeout`.
    bool wait_log(const std::function<bool(const std::vector<Transfer> &)> &done,
                  std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

    // The next `count` transfers of `target` complete with `error` (a negative
    // errno such as -EPIPE or -EIO) without reaching the firmware.
    void fail_next(Target target, int count, int error);
    // Transfers of `target` complete no earlier than `delay` after submission.
    void set_delay(Target target, std::chrono::milliseconds delay);
    void clear_faults();

    // URBs submitted to the pad and not yet reaped by the host (URBs a client
    // left behind when it closed the device count too).
    int in_flight() const;
    bool wait_in_flight(int count,
                        std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    // The same for the URBs of one target only, which other traffic (a
    // reader thread's interrupt transfers coming and going) does not move.
    bool wait_in_flight(Target target, int count,
                        std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

    // Handles the host has opened on the pad's node so far, over all its
    // plug-ins: each open counts at its first ioctl. A close and reopen of
    // the pad shows here and nowhere in the transfer log.
    int opens() const;

    // Pulls the plug: pending transfers end with -ENODEV, a "remove" event
    // is sent, the node goes away. Safe while transfers are pending.
    void unplug();
    // Plugs the pad in (again, or for the first time after Plug::Later)
    // under a new device number; an "add" event is sent.
    bool replug();

  private:
    friend class Testbed;
    Pad(Testbed &bed, PadConfig config);
    std::shared_ptr<PadState> state_;
};

class Testbed {
  public:
    Testbed();
    ~Testbed();
    Testbed(const Testbed &) = delete;
    Testbed &operator=(const Testbed &) = delete;

    // False when the testbed could not be built; nothing else works then.
    bool ok() const { return ok_; }
    // The directory the child processes get as UMOCKDEV_DIR.
    std::string root_dir() const;

    // Adds a pad and plugs it in, unless `plug` says Later; the testbed owns
    // it. Null on failure.
    Pad *add_pad(PadConfig config, std::unique_ptr<Firmware> firmware = nullptr,
                 Plug plug = Plug::Now);
    Pad *add_hid_pad(uint16_t vendor_id, uint16_t product_id, std::string serial);
    Pad *add_vcom_pad(uint16_t vendor_id, uint16_t product_id, std::string serial);
    void remove_pad(Pad *pad);
    const std::vector<std::unique_ptr<Pad>> &pads() const { return pads_; }

    // Whether this process sees the testbed (libumockdev-preload is loaded).
    static bool in_mock_environment();

  private:
    friend class Pad;
    friend struct PadState;
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::vector<std::unique_ptr<Pad>> pads_;
    bool ok_ = false;
};

// First thing in main() of a program that owns a testbed: unless
// libumockdev-preload is loaded, starts the program again with it (after a
// sanitizer runtime that is already loaded, which insists on coming first).
// Returns when it is loaded, or when the restart did not load it.
void restart_under_preload(char **argv);
// In a child that is about to exec a program: LD_PRELOAD as the parent found
// it, with libumockdev-preload first.
void preload_child();

}  // namespace padsim
