// Pads plugged in and pulled while a program runs reach libusb's hot-plug
// callbacks: the bench sends the uevents libusb's monitor listens for.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <libusb.h>

#include "padsim.h"

namespace padsim {
namespace {

struct Seen {
    libusb_hotplug_event event;
    uint16_t vendor_id;
    uint16_t product_id;
    int bus;
    int address;
    bool operator==(const Seen &) const = default;
};

void PrintTo(const Seen &s, std::ostream *os) {
    *os << (s.event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED ? "arrived " : "left ") << std::hex
        << s.vendor_id << ":" << s.product_id << std::dec << " at " << s.bus << "/" << s.address;
}

class Hotplug : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(bed.ok());
        ASSERT_TRUE(Testbed::in_mock_environment());
        ASSERT_EQ(libusb_init(&ctx), 0);
        ASSERT_TRUE(libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG));
        ASSERT_EQ(libusb_hotplug_register_callback(
                      ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
                      0, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                      LIBUSB_HOTPLUG_MATCH_ANY, on_hotplug, this, &callback),
                  LIBUSB_SUCCESS);
        events = std::thread([this] {
            while (!stop) {
                libusb_handle_events(ctx);
            }
        });
    }
    void TearDown() override {
        if (events.joinable()) {
            stop = true;
            libusb_hotplug_deregister_callback(ctx, callback);  // wakes the event thread
            libusb_interrupt_event_handler(ctx);
            events.join();
        }
        libusb_exit(ctx);
    }

    static int on_hotplug(libusb_context *, libusb_device *dev, libusb_hotplug_event event,
                          void *user) {
        auto *self = static_cast<Hotplug *>(user);
        libusb_device_descriptor desc{};
        libusb_get_device_descriptor(dev, &desc);
        std::lock_guard lock(self->mu);
        self->seen.push_back({event, desc.idVendor, desc.idProduct, libusb_get_bus_number(dev),
                              libusb_get_device_address(dev)});
        self->changed.notify_all();
        return 0;
    }

    bool wait_seen(size_t count) {
        std::unique_lock lock(mu);
        return changed.wait_for(lock, std::chrono::seconds(5),
                                [&] { return seen.size() >= count; });
    }

    static Seen seen_as(libusb_hotplug_event event, const Pad *pad, int address) {
        return {event, pad->config().vendor_id, pad->config().product_id, pad->bus(), address};
    }

    Testbed bed;
    libusb_context *ctx = nullptr;
    libusb_hotplug_callback_handle callback = 0;
    std::atomic<bool> stop{false};
    std::thread events;
    std::mutex mu;
    std::condition_variable changed;
    std::vector<Seen> seen;
};

// Each pad arrives and leaves once, with its ids and its device number; a
// pad plugged in again comes last, so any repeated event would show before it.
TEST_F(Hotplug, PadsArriveAndLeaveOnceEach) {
    constexpr auto kArrived = LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED;
    constexpr auto kLeft = LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT;
    std::vector<Seen> expected;
    std::vector<Pad *> pads;
    for (PadConfig config :
         {PadConfig::hid(0x22C9, 0x0901, "AB12"), PadConfig::vcom(0x0711, 0x0230, "XY9")}) {
        Pad *pad = bed.add_pad(config);
        ASSERT_NE(pad, nullptr);
        expected.push_back(seen_as(kArrived, pad, pad->address()));
        pads.push_back(pad);
        ASSERT_TRUE(wait_seen(expected.size()));
    }
    for (Pad *pad : pads) {
        expected.push_back(seen_as(kLeft, pad, pad->address()));  // while it is plugged
        pad->unplug();
        ASSERT_TRUE(wait_seen(expected.size()));
    }
    ASSERT_TRUE(pads[0]->replug());
    expected.push_back(seen_as(kArrived, pads[0], pads[0]->address()));
    ASSERT_TRUE(wait_seen(expected.size()));

    std::lock_guard lock(mu);
    EXPECT_EQ(seen, expected);
}

}  // namespace
}  // namespace padsim
