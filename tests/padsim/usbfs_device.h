// One plugged-in instance of a virtual pad: its device node, the usbfs ioctl
// handler behind it and the URBs its clients have in flight. Internal to the
// bench; tests use padsim.h.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "padsim.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace padsim {

using Clock = std::chrono::steady_clock;

// Runs callbacks at given times on one thread of its own; the testbed uses it
// to make delayed completions visible to pollers.
class Scheduler {
  public:
    Scheduler();
    ~Scheduler();
    void at(Clock::time_point when, std::function<void()> fn);
    // Ends the thread; jobs not yet run are dropped. A job may hold the last
    // reference to a device, and with it to the scheduler: the testbed stops
    // the thread before it lets its devices go, so that no device (and no
    // scheduler, which would then join itself) dies on this thread.
    void stop();

  private:
    void run();
    std::mutex mu_;
    std::condition_variable cv_;
    std::multimap<Clock::time_point, std::function<void()>> jobs_;
    bool stop_ = false;
    std::thread thread_;
};

struct Testbed::Impl {
    UMockdevTestbed *testbed = nullptr;
    std::string root;
    std::shared_ptr<Scheduler> scheduler;
    // Device numbers are unique within the process: libusb and hidapi keep
    // what they saw of an earlier testbed until their contexts end.
    static void next_address(int &bus, int &devnum);
};

// Everything of a pad that outlives a plug-in: configuration, firmware,
// transfer log and faults. It is the firmware's host.
struct PadState final : FirmwareHost {
    PadState(Testbed::Impl &bed, PadConfig config);
    ~PadState() override;

    void queue_interrupt_in(int interface, Bytes report) override;
    void queue_bulk_in(Bytes data) override;

    struct FaultSlot {
        int count = 0;
        int error = 0;
        std::chrono::milliseconds delay{0};
    };

    Testbed::Impl &bed;
    const PadConfig config;

    // Guards everything below and the state of every UsbfsDevice of the pad.
    mutable std::mutex mu;
    // Signalled when the log or the URBs in flight change.
    mutable std::condition_variable changed;
    std::vector<Transfer> log;
    int opens = 0;
    std::array<FaultSlot, 4> faults;
    std::shared_ptr<UsbfsDevice> device;                // null while unplugged
    std::vector<std::shared_ptr<UsbfsDevice>> retired;  // unplugged, clients may linger

    // Held around every call into the firmware; never taken while `mu` is.
    std::mutex fw_mu;
    std::unique_ptr<Firmware> firmware;
};

class UsbfsDevice : public std::enable_shared_from_this<UsbfsDevice> {
  public:
    UsbfsDevice(std::shared_ptr<PadState> pad, int bus, int devnum);
    ~UsbfsDevice();

    // Creates the node, attaches the handler, adds the sysfs entry and
    // announces it.
    bool plug();
    // Ends pending URBs with -ENODEV and removes the entry (see Pad::unplug).
    void unplug();

    int bus() const { return bus_; }
    int devnum() const { return devnum_; }
    int in_flight() const;
    int in_flight_locked() const;
    // Only the live URBs of one kind; left-behind ones are not told apart.
    int in_flight_locked(Target target) const;

    // Under PadState::mu: data the firmware queued.
    void queue_interrupt_in_locked(int interface, Bytes report);
    void queue_bulk_in_locked(Bytes data);

  private:
    struct Urb {
        UMockdevIoctlClient *client = nullptr;
        UMockdevIoctlData *data = nullptr;  // the resolved struct usbdevfs_urb (owned ref)
        unsigned long client_addr = 0;
        uint8_t type = 0;
        uint8_t endpoint = 0;
        int buffer_length = 0;
        bool done = false;
        bool logged = false;
        int status = 0;
        Bytes in_data;
        Transfer entry;
        Clock::time_point ready_at;
        uint64_t done_seq = 0;
        int slot = -1;  // the fault slot (Target) this URB counts against
    };
    struct ClientState {
        std::vector<int> claimed;
    };

    std::string sysfs_record() const;
    static int on_ioctl(UMockdevIoctlBase *handler, UMockdevIoctlClient *client, void *user);
    bool handle(UMockdevIoctlClient *client);
    void submit(UMockdevIoctlClient *client);
    void reap(UMockdevIoctlClient *client);
    void discard(UMockdevIoctlClient *client);
    void claim(UMockdevIoctlClient *client, bool release);
    void get_driver(UMockdevIoctlClient *client);
    void driver_ioctl(UMockdevIoctlClient *client);
    void disconnect_claim(UMockdevIoctlClient *client);

    // Control requests: the reply of the device (IN data) or a stall.
    int control(const Bytes &setup, const Bytes &out, int max_in, Bytes &in);

    void track_client_locked(UMockdevIoctlClient *client);
    void sweep_clients_locked();
    void finish_locked(Urb &urb, int status, Bytes in_data);
    void log_locked(Urb &urb);
    void pump_locked();
    void refresh_locked();
    void refresh();
    void set_ready_locked(bool ready);
    bool any_claim_locked(int interface, UMockdevIoctlClient *except) const;

    std::shared_ptr<PadState> pad_;
    UMockdevTestbed *testbed_;
    std::shared_ptr<Scheduler> scheduler_;
    const int bus_;
    const int devnum_;
    std::string node_;     // /dev/bus/usb/BBB/DDD as the clients see it
    std::string fifo_;     // the node inside the testbed
    std::string syspath_;  // /sys/devices/...
    UMockdevIoctlBase *handler_ = nullptr;
    int fifo_fd_ = -1;
    bool ready_ = true;
    bool plugged_ = false;
    bool unplugged_ = false;

    // Under PadState::mu.
    std::list<Urb> urbs_;  // in order of submission
    std::map<UMockdevIoctlClient *, ClientState> clients_;
    std::vector<std::string> drivers_;  // per interface; empty: none bound
    std::vector<std::deque<Bytes>> interrupt_in_;
    std::deque<Bytes> bulk_in_;
    uint64_t done_seq_ = 0;
    int abandoned_ = 0;
};

}  // namespace padsim
