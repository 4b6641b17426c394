#include <atomic>
#include <cerrno>
#include <cstdio>

#include <gio/gio.h>
#include <umockdev.h>

#include "padsim.h"
#include "usbfs_device.h"

namespace padsim {

// ------------------------------------------------------------------ Transfer

uint16_t Transfer::value() const {
    return setup.size() == 8 ? static_cast<uint16_t>(setup[2] | (setup[3] << 8)) : 0;
}

uint16_t Transfer::index() const {
    return setup.size() == 8 ? static_cast<uint16_t>(setup[4] | (setup[5] << 8)) : 0;
}

std::string to_string(const Transfer &t) {
    static const char *const kTypes[] = {"control", "bulk", "interrupt"};
    char head[96];
    std::snprintf(head, sizeof head, "%s %s ep %02x status %d", kTypes[static_cast<int>(t.type)],
                  t.is_in() ? "IN" : "OUT", t.endpoint, t.status);
    std::string s = head;
    auto hex = [&s](const Bytes &b) {
        for (uint8_t v : b) {
            char h[4];
            std::snprintf(h, sizeof h, " %02x", v);
            s += h;
        }
    };
    if (!t.setup.empty()) {
        s += " setup";
        hex(t.setup);
    }
    s += " data[" + std::to_string(t.data.size()) + "]";
    hex(t.data);
    return s;
}

// ------------------------------------------------------------------ Testbed

void Testbed::Impl::next_address(int &bus, int &devnum) {
    static std::atomic<int> counter{0};
    const int n = counter.fetch_add(1);
    bus = 200 + (n / 127) % 50;
    devnum = n % 127 + 1;
}

Testbed::Testbed() : impl_(std::make_unique<Impl>()) {
    impl_->testbed = umockdev_testbed_new();
    if (!impl_->testbed) {
        return;
    }
    gchar *root = umockdev_testbed_get_root_dir(impl_->testbed);
    impl_->root = root;
    g_free(root);
    // libusb looks for usbfs before it enumerates; it must find a bus even
    // when no pad is plugged in yet.
    const std::string bus_dir = impl_->root + "/dev/bus/usb/200";
    if (g_mkdir_with_parents(bus_dir.c_str(), 0755) != 0) {
        return;
    }
    impl_->scheduler = std::make_shared<Scheduler>();
    // The emulator's first device connection makes GLib start its worker
    // context (a thread and an eventfd that live as long as the process) on
    // the emulator's own thread, at a moment that depends on the load. Start
    // it here, so that it is there before any test counts descriptors.
    g_type_ensure(G_TYPE_TASK);
    ok_ = true;
}

Testbed::~Testbed() {
    if (impl_->scheduler) {
        impl_->scheduler->stop();
    }
    pads_.clear();
    impl_->scheduler.reset();
    if (impl_->testbed) {
        g_object_unref(impl_->testbed);
    }
}

std::string Testbed::root_dir() const {
    return impl_->root;
}

bool Testbed::in_mock_environment() {
    return umockdev_in_mock_environment();
}

Pad *Testbed::add_pad(PadConfig config, std::unique_ptr<Firmware> firmware, Plug plug) {
    if (!ok_) {
        return nullptr;
    }
    std::unique_ptr<Pad> pad(new Pad(*this, std::move(config)));
    if (firmware) {
        pad->set_firmware(std::move(firmware));
    }
    if (plug == Plug::Now && !pad->replug()) {
        return nullptr;
    }
    pads_.push_back(std::move(pad));
    return pads_.back().get();
}

Pad *Testbed::add_hid_pad(uint16_t vendor_id, uint16_t product_id, std::string serial) {
    return add_pad(PadConfig::hid(vendor_id, product_id, std::move(serial)));
}

Pad *Testbed::add_vcom_pad(uint16_t vendor_id, uint16_t product_id, std::string serial) {
    return add_pad(PadConfig::vcom(vendor_id, product_id, std::move(serial)));
}

void Testbed::remove_pad(Pad *pad) {
    for (auto it = pads_.begin(); it != pads_.end(); ++it) {
        if (it->get() == pad) {
            pad->unplug();
            pads_.erase(it);
            return;
        }
    }
}

// ---------------------------------------------------------------------- Pad

Pad::Pad(Testbed &bed, PadConfig config)
    : state_(std::make_shared<PadState>(*bed.impl_, std::move(config))) {}

Pad::~Pad() {
    // The firmware goes first: its threads may still call the host.
    std::unique_ptr<Firmware> firmware;
    {
        std::lock_guard fw(state_->fw_mu);
        firmware = std::move(state_->firmware);
    }
    firmware.reset();
    // Devices hold the state; lingering clients keep a device alive until
    // their next ioctl, which then finds the pad gone.
    std::shared_ptr<UsbfsDevice> device;
    std::vector<std::shared_ptr<UsbfsDevice>> retired;
    {
        std::lock_guard lock(state_->mu);
        device = std::move(state_->device);
        retired = std::move(state_->retired);
    }
}

const PadConfig &Pad::config() const {
    return state_->config;
}

int Pad::bus() const {
    std::lock_guard lock(state_->mu);
    return state_->device ? state_->device->bus() : -1;
}

int Pad::address() const {
    std::lock_guard lock(state_->mu);
    return state_->device ? state_->device->devnum() : -1;
}

bool Pad::plugged() const {
    std::lock_guard lock(state_->mu);
    return state_->device != nullptr;
}

Firmware &Pad::set_firmware(std::unique_ptr<Firmware> firmware) {
    std::unique_ptr<Firmware> old;
    Firmware *fw = firmware.get();
    {
        std::lock_guard lock(state_->fw_mu);
        old = std::move(state_->firmware);
        state_->firmware = std::move(firmware);
        if (fw) {
            fw->attach(state_.get());
        }
    }
    old.reset();
    return *fw;
}

Firmware *Pad::firmware() const {
    std::lock_guard lock(state_->fw_mu);
    return state_->firmware.get();
}

FirmwareHost &Pad::host() {
    return *state_;
}

std::vector<Transfer> Pad::log() const {
    std::lock_guard lock(state_->mu);
    return state_->log;
}

void Pad::clear_log() {
    std::lock_guard lock(state_->mu);
    state_->log.clear();
}

bool Pad::wait_log(const std::function<bool(const std::vector<Transfer> &)> &done,
                   std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mu);
    return state_->changed.wait_for(lock, timeout, [&] { return done(state_->log); });
}

void Pad::fail_next(Target target, int count, int error) {
    std::lock_guard lock(state_->mu);
    auto &slot = state_->faults[static_cast<size_t>(target)];
    slot.count = count;
    slot.error = error;
}

void Pad::set_delay(Target target, std::chrono::milliseconds delay) {
    std::lock_guard lock(state_->mu);
    state_->faults[static_cast<size_t>(target)].delay = delay;
}

void Pad::clear_faults() {
    std::lock_guard lock(state_->mu);
    state_->faults = {};
}

namespace {

// The device a pad's counters refer to: the plugged one, else the last one.
int in_flight_locked(const PadState &state) {
    const UsbfsDevice *device = state.device.get();
    if (!device && !state.retired.empty()) {
        device = state.retired.back().get();
    }
    return device ? device->in_flight_locked() : 0;
}

int in_flight_locked(const PadState &state, Target target) {
    return state.device ? state.device->in_flight_locked(target) : 0;
}

}  // namespace

int Pad::in_flight() const {
    std::lock_guard lock(state_->mu);
    return in_flight_locked(*state_);
}

bool Pad::wait_in_flight(int count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mu);
    return state_->changed.wait_for(lock, timeout,
                                    [&] { return in_flight_locked(*state_) == count; });
}

bool Pad::wait_in_flight(Target target, int count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mu);
    return state_->changed.wait_for(lock, timeout,
                                    [&] { return in_flight_locked(*state_, target) == count; });
}

int Pad::opens() const {
    std::lock_guard lock(state_->mu);
    return state_->opens;
}

void Pad::unplug() {
    std::shared_ptr<UsbfsDevice> device;
    {
        std::lock_guard lock(state_->mu);
        device = std::move(state_->device);
        if (device) {
            state_->retired.push_back(device);
        }
    }
    if (device) {
        device->unplug();
    }
}

bool Pad::replug() {
    {
        std::lock_guard lock(state_->mu);
        if (state_->device) {
            return false;
        }
    }
    int bus = 0;
    int devnum = 0;
    Testbed::Impl::next_address(bus, devnum);
    auto device = std::make_shared<UsbfsDevice>(state_, bus, devnum);
    if (!device->plug()) {
        return false;
    }
    std::lock_guard lock(state_->mu);
    state_->device = std::move(device);
    return true;
}

}  // namespace padsim
