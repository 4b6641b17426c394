#include "usbfs_device.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <umockdev.h>

#include "usb_descriptors.h"

namespace padsim {
namespace {

constexpr size_t kInterruptQueueLimit = 1024;
constexpr size_t kLogLimit = 100000;
constexpr uint32_t kCapabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                   USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                   USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

// Indexes of PadState::faults.
int slot_of(Target t) {
    return static_cast<int>(t);
}

uint16_t le16(const Bytes &b, size_t at) {
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

void complete(UMockdevIoctlClient *client, int err) {
    umockdev_ioctl_client_complete(client, err ? -1 : 0, err);
}

// The local copy of what an ioctl argument points to; the caller owns the
// reference. Changes go back to the client when the ioctl completes.
UMockdevIoctlData *resolve(UMockdevIoctlData *parent, size_t offset, size_t len) {
    GError *error = nullptr;
    UMockdevIoctlData *d = umockdev_ioctl_data_resolve(parent, offset, len, &error);
    if (error) {
        g_error_free(error);
        if (d) {
            g_object_unref(d);
        }
        return nullptr;
    }
    return d;
}

}  // namespace

// ---------------------------------------------------------------- Scheduler

Scheduler::Scheduler() : thread_([this] { run(); }) {}

Scheduler::~Scheduler() {
    stop();
}

void Scheduler::stop() {
    {
        std::lock_guard lock(mu_);
        stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void Scheduler::at(Clock::time_point when, std::function<void()> fn) {
    {
        std::lock_guard lock(mu_);
        jobs_.emplace(when, std::move(fn));
    }
    cv_.notify_all();
}

void Scheduler::run() {
    std::unique_lock lock(mu_);
    while (!stop_) {
        if (jobs_.empty()) {
            cv_.wait(lock);
            continue;
        }
        auto first = jobs_.begin();
        if (first->first > Clock::now()) {
            cv_.wait_until(lock, first->first);
            continue;
        }
        auto fn = std::move(first->second);
        jobs_.erase(first);
        lock.unlock();
        fn();
        lock.lock();
    }
}

// ----------------------------------------------------------------- PadState

PadState::PadState(Testbed::Impl &bed_, PadConfig config_)
    : bed(bed_), config(std::move(config_)) {}

PadState::~PadState() = default;

void PadState::queue_interrupt_in(int interface, Bytes report) {
    std::lock_guard lock(mu);
    if (device) {
        device->queue_interrupt_in_locked(interface, std::move(report));
    }
}

void PadState::queue_bulk_in(Bytes data) {
    std::lock_guard lock(mu);
    if (device) {
        device->queue_bulk_in_locked(std::move(data));
    }
}

// -------------------------------------------------------------- UsbfsDevice

UsbfsDevice::UsbfsDevice(std::shared_ptr<PadState> pad, int bus, int devnum)
    : pad_(std::move(pad)),
      testbed_(pad_->bed.testbed),
      scheduler_(pad_->bed.scheduler),
      bus_(bus),
      devnum_(devnum) {
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", bus_, devnum_);
    node_ = node;
    fifo_ = pad_->bed.root + node_;
    syspath_ = "/sys/devices/padsim/usb" + std::to_string(bus_) + "/" + std::to_string(bus_) + "-" +
               std::to_string(devnum_);
    for (const auto &intf : pad_->config.interfaces) {
        drivers_.push_back(intf.kernel_driver);
    }
    interrupt_in_.resize(pad_->config.interfaces.size());
}

UsbfsDevice::~UsbfsDevice() {
    for (auto &u : urbs_) {
        g_object_unref(u.data);
    }
    for (auto &[client, state] : clients_) {
        g_object_unref(client);
    }
    if (handler_) {
        g_object_unref(handler_);
    }
    if (fifo_fd_ >= 0) {
        close(fifo_fd_);
    }
}

// The device's entry in umockdev's record format: udev properties (E:),
// text attributes (A:, escaped) and the binary descriptors (H:, hex).
std::string UsbfsDevice::sysfs_record() const {
    const PadConfig &cfg = pad_->config;
    char text[160];
    std::string r = "P: " + syspath_.substr(4) + "\n";
    auto line = [&r, &text](const char *format, auto... args) {
        std::snprintf(text, sizeof text, format, args...);
        r += text;
    };
    r += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n";
    line("E: DEVNAME=%s\n", node_.c_str());
    line("E: BUSNUM=%03d\nE: DEVNUM=%03d\n", bus_, devnum_);
    line("E: PRODUCT=%x/%x/%x\n", cfg.vendor_id, cfg.product_id, cfg.bcd_device);
    line("A: busnum=%d\\n\nA: devnum=%d\\n\n", bus_, devnum_);
    r += "A: bConfigurationValue=1\\n\n";
    line("A: idVendor=%04x\\n\nA: idProduct=%04x\\n\n", cfg.vendor_id, cfg.product_id);
    line("A: speed=%d\\n\n", usb::speed_mbps(cfg));
    // With a device number umockdev deletes the node when the entry goes.
    line("A: dev=189:%d\\n\n", (bus_ - 1) * 128 + devnum_ - 1);
    r += "H: descriptors=";
    for (uint8_t b : usb::sysfs_descriptors(cfg)) {
        line("%02X", b);
    }
    r += "\n";
    return r;
}

bool UsbfsDevice::plug() {
    // The node is a FIFO, not the regular file umockdev would create: usbfs
    // clients poll for POLLOUT, which a regular file always reports, so
    // libusb's event loops would spin on REAPURBNDELAY. A one-page pipe that
    // is kept full while nothing is reapable blocks them instead.
    std::string dir = fifo_.substr(0, fifo_.rfind('/'));
    if (g_mkdir_with_parents(dir.c_str(), 0755) != 0) {
        return false;
    }
    unlink(fifo_.c_str());
    if (mkfifo(fifo_.c_str(), 0666) != 0) {
        return false;
    }
    fifo_fd_ = open(fifo_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fifo_fd_ < 0) {
        return false;
    }
    fcntl(fifo_fd_, F_SETPIPE_SZ, 4096);
    {
        std::lock_guard lock(pad_->mu);
        set_ready_locked(false);
    }

    // The handler must listen before the device appears: a client may open
    // it as soon as the add event arrives.
    handler_ = umockdev_ioctl_base_new();
    auto *weak = new std::weak_ptr<UsbfsDevice>(weak_from_this());
    g_signal_connect_data(
        handler_, "handle-ioctl", G_CALLBACK(on_ioctl), weak,
        [](gpointer data, GClosure *) { delete static_cast<std::weak_ptr<UsbfsDevice> *>(data); },
        G_CONNECT_AFTER);
    GError *error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, node_.c_str(), handler_, &error)) {
        if (error) {
            std::fprintf(stderr, "padsim: attach_ioctl %s: %s\n", node_.c_str(), error->message);
            g_error_free(error);
        }
        return false;
    }

    const std::string record = sysfs_record();
    if (!umockdev_testbed_add_from_string(testbed_, record.c_str(), &error)) {
        if (error) {
            std::fprintf(stderr, "padsim: add device %s: %s\n", node_.c_str(), error->message);
            g_error_free(error);
        }
        return false;
    }
    // Under the preload, adding the entry has sent its "add" event, once
    // the whole entry was written; one of our own would announce it twice.
    plugged_ = true;
    return true;
}

void UsbfsDevice::unplug() {
    {
        std::lock_guard lock(pad_->mu);
        if (unplugged_) {
            return;
        }
        unplugged_ = true;
        // What the pad had finished still reaches the host, at once.
        for (auto &u : urbs_) {
            u.ready_at = Clock::now();
            if (!u.done) {
                finish_locked(u, -ENODEV, {});
            }
        }
        bulk_in_.clear();
        for (auto &q : interrupt_in_) {
            q.clear();
        }
        refresh_locked();
    }
    if (plugged_) {
        // The event first: umockdev reads the entry to describe the device
        // in it, libusb's monitor drops the device by it, and a client that
        // reopens must then find no node. Without the preload umockdev
        // cannot find the entry (see padsim.h).
        if (umockdev_in_mock_environment()) {
            umockdev_testbed_uevent(testbed_, syspath_.c_str(), "remove");
        }
        umockdev_testbed_remove_device(testbed_, syspath_.c_str());
        unlink(fifo_.c_str());
        plugged_ = false;
    }
}

int UsbfsDevice::in_flight() const {
    std::lock_guard lock(pad_->mu);
    return in_flight_locked();
}

int UsbfsDevice::in_flight_locked() const {
    return static_cast<int>(urbs_.size()) + abandoned_;
}

int UsbfsDevice::in_flight_locked(Target target) const {
    return static_cast<int>(std::count_if(urbs_.begin(), urbs_.end(),
                                          [&](const Urb &u) { return u.slot == slot_of(target); }));
}

// ------------------------------------------------------------ ioctl handling

int UsbfsDevice::on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, void *user) {
    auto self = static_cast<std::weak_ptr<UsbfsDevice> *>(user)->lock();
    if (!self) {
        complete(client, ENODEV);
        return TRUE;
    }
    return self->handle(client);
}

bool UsbfsDevice::handle(UMockdevIoctlClient *client) {
    // The request number arrives sign-extended from some callers.
    const unsigned long request = umockdev_ioctl_client_get_request(client) & 0xFFFFFFFFul;
    bool gone;
    {
        std::lock_guard lock(pad_->mu);
        sweep_clients_locked();
        track_client_locked(client);
        gone = unplugged_;
    }
    switch (request) {
        case USBDEVFS_SUBMITURB:
            submit(client);
            return true;
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            reap(client);
            return true;
        case USBDEVFS_DISCARDURB:
            discard(client);
            return true;
        default:
            break;
    }
    if (gone) {
        complete(client, ENODEV);
        return true;
    }
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData *d = resolve(umockdev_ioctl_client_get_arg(client), 0, 4);
            if (!d) {
                complete(client, EFAULT);
                return true;
            }
            std::memcpy(d->data, &kCapabilities, sizeof kCapabilities);
            g_object_unref(d);
            complete(client, 0);
            return true;
        }
        case USBDEVFS_CLAIMINTERFACE:
            claim(client, false);
            return true;
        case USBDEVFS_RELEASEINTERFACE:
            claim(client, true);
            return true;
        case USBDEVFS_GETDRIVER:
            get_driver(client);
            return true;
        case USBDEVFS_IOCTL:
            driver_ioctl(client);
            return true;
        case USBDEVFS_DISCONNECT_CLAIM:
            disconnect_claim(client);
            return true;
        case USBDEVFS_SETCONFIGURATION:
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP:
        case USBDEVFS_RESET:
            complete(client, 0);
            return true;
        default:
            complete(client, ENOTTY);
            return true;
    }
}

void UsbfsDevice::submit(UMockdevIoctlClient *client) {
    UMockdevIoctlData *data =
        resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(struct usbdevfs_urb));
    if (!data) {
        complete(client, EFAULT);
        return;
    }
    struct usbdevfs_urb u;
    std::memcpy(&u, data->data, sizeof u);
    Bytes sent;
    if (u.buffer_length > 0) {
        UMockdevIoctlData *buf = resolve(data, offsetof(struct usbdevfs_urb, buffer),
                                         static_cast<size_t>(u.buffer_length));
        if (!buf) {
            g_object_unref(data);
            complete(client, EFAULT);
            return;
        }
        sent.assign(buf->data, buf->data + u.buffer_length);
        g_object_unref(buf);
    }

    const PadConfig &cfg = pad_->config;
    Urb urb;
    urb.client = client;
    urb.data = data;
    urb.client_addr = data->client_addr;
    urb.type = u.type;
    urb.endpoint = u.endpoint;
    urb.buffer_length = u.buffer_length;
    urb.ready_at = Clock::now();

    // Validate as the kernel does before anything reaches the device.
    int err = 0;
    bool in = (u.endpoint & 0x80) != 0;
    TransferType type = TransferType::Control;
    switch (u.type) {
        case USBDEVFS_URB_TYPE_CONTROL:
            if (u.buffer_length < 8) {
                err = EINVAL;
                break;
            }
            in = (sent[0] & 0x80) != 0;
            urb.slot = slot_of(Target::Control);
            break;
        case USBDEVFS_URB_TYPE_BULK:
        case USBDEVFS_URB_TYPE_INTERRUPT: {
            const EndpointSpec *ep = usb::find_endpoint(cfg, u.endpoint, nullptr);
            if (!ep) {
                err = ENOENT;
                break;
            }
            if (ep->type == TransferType::Control ||
                (u.type == USBDEVFS_URB_TYPE_INTERRUPT && ep->type != TransferType::Interrupt)) {
                err = EINVAL;
                break;
            }
            // A bulk URB on an interrupt endpoint is run as an interrupt URB.
            type = ep->type;
            if (type == TransferType::Bulk) {
                urb.slot = slot_of(in ? Target::BulkIn : Target::BulkOut);
            } else if (in) {
                urb.slot = slot_of(Target::InterruptIn);
            }
            break;
        }
        default:
            err = EINVAL;
            break;
    }
    if (err) {
        g_object_unref(data);
        complete(client, err);
        return;
    }

    urb.entry.type = type;
    if (type == TransferType::Control) {
        urb.entry.setup.assign(sent.begin(), sent.begin() + 8);
        urb.entry.endpoint = in ? 0x80 : 0x00;
        if (!in) {
            size_t len = std::min<size_t>(le16(sent, 6), sent.size() - 8);
            urb.entry.data.assign(sent.begin() + 8, sent.begin() + 8 + static_cast<long>(len));
        }
    } else {
        urb.entry.endpoint = u.endpoint;
        if (!in) {
            urb.entry.data = sent;
        }
    }

    // A planned fault ends the transfer before it reaches the firmware.
    int fault = 0;
    {
        std::lock_guard lock(pad_->mu);
        if (unplugged_) {
            g_object_unref(data);
            complete(client, ENODEV);
            return;
        }
        if (urb.slot >= 0) {
            auto &f = pad_->faults[static_cast<size_t>(urb.slot)];
            urb.ready_at += f.delay;
            if (f.count > 0) {
                --f.count;
                fault = f.error;
            }
        }
        if (fault || (in && type != TransferType::Control)) {
            urbs_.push_back(std::move(urb));
            pad_->changed.notify_all();
            if (fault) {
                finish_locked(urbs_.back(), fault, {});
            }
            pump_locked();
            refresh_locked();
            complete(client, 0);
            return;
        }
    }

    // Control and OUT transfers reach the firmware now, outside the pad lock:
    // the firmware may queue replies from inside the call.
    int status = 0;
    Bytes reply;
    if (type == TransferType::Control) {
        status = control(urb.entry.setup, urb.entry.data, u.buffer_length - 8, reply);
    } else if (type == TransferType::Bulk) {
        std::lock_guard fw(pad_->fw_mu);
        if (pad_->firmware && !pad_->firmware->bulk_out(urb.entry.data)) {
            status = -EPIPE;
        }
    }
    std::lock_guard lock(pad_->mu);
    if (unplugged_) {
        g_object_unref(data);
        complete(client, ENODEV);
        return;
    }
    urbs_.push_back(std::move(urb));
    pad_->changed.notify_all();
    finish_locked(urbs_.back(), status, std::move(reply));
    pump_locked();
    refresh_locked();
    complete(client, 0);
}

void UsbfsDevice::reap(UMockdevIoctlClient *client) {
    std::unique_lock lock(pad_->mu);
    const auto now = Clock::now();
    auto best = urbs_.end();
    for (auto it = urbs_.begin(); it != urbs_.end(); ++it) {
        if (it->client == client && it->done && it->ready_at <= now &&
            (best == urbs_.end() || it->done_seq < best->done_seq)) {
            best = it;
        }
    }
    if (best == urbs_.end()) {
        const bool gone = unplugged_;
        lock.unlock();
        complete(client, gone ? ENODEV : EAGAIN);
        return;
    }
    log_locked(*best);
    Urb urb = std::move(*best);
    urbs_.erase(best);
    refresh_locked();
    pad_->changed.notify_all();
    lock.unlock();

    // Results are written into the client's URB only here, on the handler
    // thread, when the client collects them.
    const bool control = urb.type == USBDEVFS_URB_TYPE_CONTROL;
    const bool in = urb.entry.is_in();
    int actual = 0;
    if (urb.status == 0) {
        actual =
            in ? static_cast<int>(urb.in_data.size()) : static_cast<int>(urb.entry.data.size());
    }
    auto *s = reinterpret_cast<struct usbdevfs_urb *>(urb.data->data);
    s->status = urb.status;
    s->actual_length = actual;
    if (in && !urb.in_data.empty()) {
        UMockdevIoctlData *buf = resolve(urb.data, offsetof(struct usbdevfs_urb, buffer),
                                         static_cast<size_t>(urb.buffer_length));
        if (buf) {
            const size_t at = control ? 8 : 0;
            std::memcpy(buf->data + at, urb.in_data.data(), urb.in_data.size());
            g_object_unref(buf);
        }
    }
    UMockdevIoctlData *ptr = resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(void *));
    if (!ptr) {
        g_object_unref(urb.data);
        complete(client, EFAULT);
        return;
    }
    umockdev_ioctl_data_set_ptr(ptr, 0, urb.data);
    g_object_unref(ptr);
    g_object_unref(urb.data);
    complete(client, 0);
}

void UsbfsDevice::discard(UMockdevIoctlClient *client) {
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    unsigned long addr = 0;
    std::memcpy(&addr, arg->data, sizeof addr);
    std::lock_guard lock(pad_->mu);
    const auto now = Clock::now();
    for (auto &u : urbs_) {
        if (u.client != client || u.client_addr != addr) {
            continue;
        }
        if (!u.done) {
            u.ready_at = now;
            finish_locked(u, -ENOENT, {});
        } else if (u.ready_at > now) {
            // Completed by the pad but not yet reported: the cancel wins.
            u.ready_at = now;
            u.status = u.entry.status = -ENOENT;
            u.in_data.clear();
            if (u.entry.is_in()) {
                u.entry.data.clear();
            }
        } else {
            break;
        }
        refresh_locked();
        complete(client, 0);
        return;
    }
    complete(client, EINVAL);
}

void UsbfsDevice::claim(UMockdevIoctlClient *client, bool release) {
    UMockdevIoctlData *d = resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(unsigned));
    if (!d) {
        complete(client, EFAULT);
        return;
    }
    unsigned number = 0;
    std::memcpy(&number, d->data, sizeof number);
    g_object_unref(d);
    std::lock_guard lock(pad_->mu);
    if (number >= drivers_.size()) {
        complete(client, ENOENT);
        return;
    }
    const int intf = static_cast<int>(number);
    auto &mine = clients_[client].claimed;
    auto it = std::find(mine.begin(), mine.end(), intf);
    if (release) {
        if (it == mine.end()) {
            complete(client, EINVAL);
            return;
        }
        mine.erase(it);
        complete(client, 0);
        return;
    }
    if (it != mine.end()) {
        complete(client, 0);
        return;
    }
    if (!drivers_[number].empty() || any_claim_locked(intf, client)) {
        complete(client, EBUSY);
        return;
    }
    mine.push_back(intf);
    complete(client, 0);
}

void UsbfsDevice::get_driver(UMockdevIoctlClient *client) {
    UMockdevIoctlData *d =
        resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(struct usbdevfs_getdriver));
    if (!d) {
        complete(client, EFAULT);
        return;
    }
    auto *gd = reinterpret_cast<struct usbdevfs_getdriver *>(d->data);
    int err = 0;
    {
        std::lock_guard lock(pad_->mu);
        if (gd->interface >= drivers_.size()) {
            err = EINVAL;
        } else {
            std::string name = any_claim_locked(static_cast<int>(gd->interface), nullptr)
                                   ? "usbfs"
                                   : drivers_[gd->interface];
            if (name.empty()) {
                err = ENODATA;
            } else {
                std::snprintf(gd->driver, sizeof gd->driver, "%s", name.c_str());
            }
        }
    }
    g_object_unref(d);
    complete(client, err);
}

void UsbfsDevice::driver_ioctl(UMockdevIoctlClient *client) {
    UMockdevIoctlData *d =
        resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(struct usbdevfs_ioctl));
    if (!d) {
        complete(client, EFAULT);
        return;
    }
    struct usbdevfs_ioctl cmd;
    std::memcpy(&cmd, d->data, sizeof cmd);
    g_object_unref(d);
    const unsigned long code = static_cast<unsigned long>(cmd.ioctl_code) & 0xFFFFFFFFul;
    std::lock_guard lock(pad_->mu);
    if (cmd.ifno < 0 || static_cast<size_t>(cmd.ifno) >= drivers_.size()) {
        complete(client, EINVAL);
        return;
    }
    const size_t i = static_cast<size_t>(cmd.ifno);
    if (code == USBDEVFS_DISCONNECT) {
        if (drivers_[i].empty()) {
            complete(client, ENODATA);
            return;
        }
        drivers_[i].clear();
        complete(client, 0);
    } else if (code == USBDEVFS_CONNECT) {
        // Like the kernel: 1 when a driver took the interface.
        bool bound = false;
        if (!any_claim_locked(cmd.ifno, nullptr) && drivers_[i].empty()) {
            drivers_[i] = pad_->config.interfaces[i].kernel_driver;
            bound = !drivers_[i].empty();
        }
        umockdev_ioctl_client_complete(client, bound ? 1 : 0, 0);
    } else {
        complete(client, ENOTTY);
    }
}

void UsbfsDevice::disconnect_claim(UMockdevIoctlClient *client) {
    UMockdevIoctlData *d =
        resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(struct usbdevfs_disconnect_claim));
    if (!d) {
        complete(client, EFAULT);
        return;
    }
    struct usbdevfs_disconnect_claim dc;
    std::memcpy(&dc, d->data, sizeof dc);
    g_object_unref(d);
    dc.driver[sizeof dc.driver - 1] = '\0';
    std::lock_guard lock(pad_->mu);
    if (dc.interface >= drivers_.size()) {
        complete(client, ENOENT);
        return;
    }
    const int intf = static_cast<int>(dc.interface);
    auto &mine = clients_[client].claimed;
    if (any_claim_locked(intf, client)) {
        complete(client, EBUSY);
        return;
    }
    std::string &bound = drivers_[dc.interface];
    bool detach = !bound.empty();
    if (detach && (dc.flags & USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER)) {
        detach = bound == dc.driver;
    } else if (detach && (dc.flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER)) {
        detach = bound != dc.driver;
    }
    if (detach) {
        bound.clear();
    }
    if (!bound.empty()) {
        complete(client, EBUSY);
        return;
    }
    if (std::find(mine.begin(), mine.end(), intf) == mine.end()) {
        mine.push_back(intf);
    }
    complete(client, 0);
}

int UsbfsDevice::control(const Bytes &setup, const Bytes &out, int max_in, Bytes &in) {
    const PadConfig &cfg = pad_->config;
    const uint8_t type = setup[0];
    const uint8_t request = setup[1];
    const uint16_t value = le16(setup, 2);
    const uint16_t index = le16(setup, 4);
    const uint8_t recipient = type & 0x1F;
    const bool dir_in = (type & 0x80) != 0;
    int status = 0;

    switch (type & 0x60) {
        case 0x00:  // standard
            if (request == 0x06 && dir_in) {
                const uint8_t dt = static_cast<uint8_t>(value >> 8);
                const uint8_t di = static_cast<uint8_t>(value & 0xFF);
                std::optional<Bytes> d;
                if (recipient == 0 && dt == usb::kDescDevice) {
                    d = usb::device_descriptor(cfg);
                } else if (recipient == 0 && dt == usb::kDescConfig && di == 0) {
                    d = usb::config_descriptor(cfg);
                } else if (recipient == 0 && dt == usb::kDescString) {
                    d = usb::string_descriptor(cfg, di);
                } else if (recipient == 1 && dt == usb::kDescReport) {
                    d = usb::report_descriptor(cfg, index);
                } else if (recipient == 1 && dt == usb::kDescHid) {
                    d = usb::hid_descriptor(cfg, index);
                }
                if (!d) {
                    status = -EPIPE;
                } else {
                    in = std::move(*d);
                }
            } else if (request == 0x00 && dir_in) {  // GET_STATUS
                in = {0, 0};
            } else if (request == 0x08 && dir_in) {  // GET_CONFIGURATION
                in = {1};
            } else if (request == 0x0A && dir_in) {  // GET_INTERFACE
                in = {0};
            } else if (!dir_in &&
                       (request == 0x01 || request == 0x03 || request == 0x09 || request == 0x0B)) {
                // CLEAR_FEATURE, SET_FEATURE, SET_CONFIGURATION, SET_INTERFACE
            } else {
                status = -EPIPE;
            }
            break;
        case 0x20: {  // class, HID interfaces only
            const int intf = index & 0xFF;
            if (recipient != 1 || !usb::report_descriptor(cfg, intf)) {
                status = -EPIPE;
                break;
            }
            const uint8_t report_type = static_cast<uint8_t>(value >> 8);
            const uint8_t report_id = static_cast<uint8_t>(value & 0xFF);
            const bool feature0 = report_type == 3 && report_id == 0;
            if (request == 0x09 && !dir_in) {  // SET_REPORT
                if (!feature0) {
                    status = -EPIPE;
                    break;
                }
                std::lock_guard fw(pad_->fw_mu);
                if (pad_->firmware && !pad_->firmware->set_feature(intf, out)) {
                    status = -EPIPE;
                }
            } else if (request == 0x01 && dir_in) {  // GET_REPORT
                std::optional<Bytes> r;
                if (feature0) {
                    std::lock_guard fw(pad_->fw_mu);
                    if (pad_->firmware) {
                        r = pad_->firmware->get_feature(intf, static_cast<size_t>(max_in));
                    }
                }
                if (!r) {
                    status = -EPIPE;
                } else {
                    in = std::move(*r);
                }
            } else if (!dir_in && (request == 0x0A || request == 0x0B)) {
                // SET_IDLE, SET_PROTOCOL
            } else if (dir_in && request == 0x02) {  // GET_IDLE
                in = {0};
            } else if (dir_in && request == 0x03) {  // GET_PROTOCOL
                in = {1};
            } else {
                status = -EPIPE;
            }
            break;
        }
        default:
            status = -EPIPE;
            break;
    }
    if (in.size() > static_cast<size_t>(max_in)) {
        in.resize(static_cast<size_t>(max_in));
    }
    return status;
}

// --------------------------------------------------------- state, under mu

void UsbfsDevice::track_client_locked(UMockdevIoctlClient *client) {
    if (clients_.find(client) == clients_.end()) {
        g_object_ref(client);
        clients_.emplace(client, ClientState{});
        ++pad_->opens;
    }
}

void UsbfsDevice::sweep_clients_locked() {
    // umockdev does not report closed clients; the kernel would kill their
    // URBs and drop their claims at close.
    for (auto it = clients_.begin(); it != clients_.end();) {
        UMockdevIoctlClient *client = it->first;
        if (umockdev_ioctl_client_get_connected(client)) {
            ++it;
            continue;
        }
        for (auto u = urbs_.begin(); u != urbs_.end();) {
            if (u->client == client) {
                if (u->done) {
                    log_locked(*u);
                }
                ++abandoned_;
                g_object_unref(u->data);
                u = urbs_.erase(u);
            } else {
                ++u;
            }
        }
        it = clients_.erase(it);
        g_object_unref(client);
        pad_->changed.notify_all();
    }
    refresh_locked();
}

void UsbfsDevice::finish_locked(Urb &urb, int status, Bytes in_data) {
    urb.done = true;
    urb.status = status;
    urb.done_seq = ++done_seq_;
    if (urb.entry.is_in()) {
        urb.entry.data = status == 0 ? in_data : Bytes{};
    }
    urb.in_data = std::move(in_data);
    urb.entry.status = status;
    if (urb.ready_at <= Clock::now()) {
        log_locked(urb);
        return;
    }
    // A delayed completion shows in the log and to the client when it is due.
    std::weak_ptr<UsbfsDevice> weak = weak_from_this();
    scheduler_->at(urb.ready_at, [weak] {
        if (auto self = weak.lock()) {
            self->refresh();
        }
    });
}

void UsbfsDevice::log_locked(Urb &urb) {
    if (urb.logged) {
        return;
    }
    urb.logged = true;
    // A pad streaming pen data for hours under the runner must not grow
    // without bound; tests look at far fewer entries than this.
    if (pad_->log.size() >= kLogLimit) {
        pad_->log.erase(pad_->log.begin(), pad_->log.begin() + kLogLimit / 10);
    }
    pad_->log.push_back(urb.entry);
    pad_->changed.notify_all();
}

void UsbfsDevice::pump_locked() {
    const PadConfig &cfg = pad_->config;
    for (auto &u : urbs_) {
        if (u.done || !(u.endpoint & 0x80) || u.type == USBDEVFS_URB_TYPE_CONTROL) {
            continue;
        }
        int intf = 0;
        const EndpointSpec *ep = usb::find_endpoint(cfg, u.endpoint, &intf);
        const size_t room = static_cast<size_t>(u.buffer_length);
        if (ep->type == TransferType::Interrupt) {
            auto &q = interrupt_in_[static_cast<size_t>(intf)];
            if (q.empty()) {
                continue;
            }
            Bytes report = std::move(q.front());
            q.pop_front();
            if (report.size() > room) {
                report.resize(room);
            }
            finish_locked(u, 0, std::move(report));
        } else {
            // Each queued block ends in a short packet: one transfer takes
            // bytes of one block only.
            if (bulk_in_.empty()) {
                continue;
            }
            Bytes &block = bulk_in_.front();
            const size_t n = std::min(block.size(), room);
            Bytes part(block.begin(), block.begin() + static_cast<long>(n));
            block.erase(block.begin(), block.begin() + static_cast<long>(n));
            if (block.empty()) {
                bulk_in_.pop_front();
            }
            finish_locked(u, 0, std::move(part));
        }
    }
}

void UsbfsDevice::queue_interrupt_in_locked(int interface, Bytes report) {
    if (unplugged_ || interface < 0 || static_cast<size_t>(interface) >= interrupt_in_.size()) {
        return;
    }
    auto &q = interrupt_in_[static_cast<size_t>(interface)];
    q.push_back(std::move(report));
    if (q.size() > kInterruptQueueLimit) {
        q.pop_front();
    }
    pump_locked();
    refresh_locked();
}

void UsbfsDevice::queue_bulk_in_locked(Bytes data) {
    if (unplugged_) {
        return;
    }
    bulk_in_.push_back(std::move(data));
    pump_locked();
    refresh_locked();
}

void UsbfsDevice::refresh() {
    std::lock_guard lock(pad_->mu);
    refresh_locked();
}

void UsbfsDevice::refresh_locked() {
    const auto now = Clock::now();
    bool reapable = false;
    for (auto &u : urbs_) {
        if (u.done && u.ready_at <= now) {
            log_locked(u);
            reapable = true;
        }
    }
    set_ready_locked(reapable);
}

void UsbfsDevice::set_ready_locked(bool ready) {
    if (ready == ready_ || fifo_fd_ < 0) {
        return;
    }
    if (ready) {
        char sink[256];
        while (read(fifo_fd_, sink, sizeof sink) > 0) {
        }
    } else {
        const char byte = 0;
        if (write(fifo_fd_, &byte, 1) != 1) {
            return;
        }
    }
    ready_ = ready;
}

bool UsbfsDevice::any_claim_locked(int interface, UMockdevIoctlClient *except) const {
    for (const auto &[client, state] : clients_) {
        if (client != except && std::find(state.claimed.begin(), state.claimed.end(), interface) !=
                                    state.claimed.end()) {
            return true;
        }
    }
    return false;
}

}  // namespace padsim
