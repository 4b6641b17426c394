// Pads plugged in and pulled while the library runs: the monitor numbers
// them and tells the arrived and removed handlers, which may call back.
#include "dev_async_support.h"

using namespace devtest;

namespace {

// Arrival and removal notices in order: kind, device, the device count the
// handler read, the thread it ran on. `also` runs inside the handler after.
struct Notices {
    struct Notice {
        char kind;  // 'a' arrived, 'r' removed
        uint32_t device;
        unsigned int count;
        std::string thread;
        bool operator==(const Notice &) const = default;
    };
    std::mutex m;
    std::condition_variable cv;
    std::vector<Notice> seen;
    std::function<void(char, uint32_t)> also;

    static void arrived(void *user, uint32_t device) {
        static_cast<Notices *>(user)->add('a', device);
    }
    static void removed(void *user, uint32_t device) {
        static_cast<Notices *>(user)->add('r', device);
    }
    void add(char kind, uint32_t device) {
        unsigned int reply = 0;
        unsigned int count = GetDeviceCount(&reply);  // takes the table lock
        {
            std::lock_guard<std::mutex> g(m);
            seen.push_back({kind, device, count, this_thread_name()});
        }
        cv.notify_all();
        if (also)
            also(kind, device);
    }
    void listen() {
        SetOnDeviceArrivedHandler(this, &Notices::arrived);
        SetOnDeviceRemovedHandler(this, &Notices::removed);
    }
    bool wait_count(size_t n) {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, 20s, [&] { return seen.size() >= n; });
    }
    std::vector<Notice> snapshot() {
        std::lock_guard<std::mutex> g(m);
        return seen;
    }
};

void PrintTo(const Notices::Notice &n, std::ostream *os) {
    *os << n.kind << n.device << " (count " << n.count << ", on " << n.thread << ")";
}

class Hotplug : public PadBench {
  protected:
    padsim::Pad *later(padsim::PadConfig config, padsim::FirmwareConfig fw) {
        padsim::Pad *pad = bed.add_pad(std::move(config), std::make_unique<padsim::PadModel>(fw),
                                       padsim::Plug::Later);
        EXPECT_NE(pad, nullptr);
        return pad;
    }
    padsim::Pad *later_vcom(const std::string &serial) {
        padsim::FirmwareConfig fw = padsim::FirmwareConfig::vcom_pad();
        fw.serial_number = serial;
        return later(padsim::PadConfig::vcom(0x0711, 0x0230, serial), fw);
    }
};

std::string serial_of(unsigned int device) {
    Text t;
    if (GetSerialNumber(device, t.buf, QLPAD_MAX_STRING_LENGTH, &t.reply) != 0)
        return "(gone)";
    return t.str();
}

}  // namespace

// Each event comes once: a repeated one would show before the next event,
// which the monitor handles after it.
TEST_F(Hotplug, HidAndVcomPadsArriveAndLeaveOnceEachWithTheirNumbers) {
    add_hid(0x22C9, 0x0901, "AB12");
    ASSERT_EQ(Initialize(), 0u);
    Notices notices;
    DeinitializeFirst stop_workers_first;
    notices.listen();
    padsim::Pad *hid =
        later(padsim::PadConfig::hid(0x2689, 0x0801, "CD34"), padsim::FirmwareConfig::hid_pad());
    padsim::Pad *vcom = later_vcom("XY9");
    ASSERT_TRUE(hid->replug());
    ASSERT_TRUE(notices.wait_count(1));
    ASSERT_TRUE(vcom->replug());
    ASSERT_TRUE(notices.wait_count(2));
    EXPECT_EQ(serial_of(3), "XY9");
    hid->unplug();
    ASSERT_TRUE(notices.wait_count(3));
    vcom->unplug();
    ASSERT_TRUE(notices.wait_count(4));
    // Late registrants hear of the pads still here, on their own thread.
    ASSERT_EQ(TriggerOnDeviceArrivedEvents(), 0u);
    const std::string monitor = "inkport-plug";
    EXPECT_EQ(notices.snapshot(), (std::vector<Notices::Notice>{{'a', 2, 2, monitor},
                                                                {'a', 3, 3, monitor},
                                                                {'r', 2, 3, monitor},
                                                                {'r', 3, 3, monitor},
                                                                {'a', 1, 3, this_thread_name()}}));
    EXPECT_EQ(serial_of(1), "AB12") << "the pad found by Initialize kept its number";
    EXPECT_EQ(serial_of(2), "(gone)");
}

// While receiving is on, the receive thread tells of the removal (once) and
// ends; the pad comes back under its number, streams again, and the
// arrived handler may use it at once.
TEST_F(Hotplug, APadPulledWhileStreamingIsToldOnceAndReturnsUnderItsNumber) {
    Added pad = add_hid(0x22C9, 0x0901, "AB12");
    padsim::Pad *other =
        later(padsim::PadConfig::hid(0x22C9, 0x0901, "CD34"), padsim::FirmwareConfig::hid_pad());
    ASSERT_EQ(Initialize(), 0u);
    Notices notices;
    FrameSink sink;
    DeinitializeFirst stop_workers_first;
    std::atomic<int64_t> enabled{-1};  // what the handler's call returned
    notices.also = [&](char kind, uint32_t device) {
        if (kind == 'a' && device == 1)
            enabled = SetDataReceivingEnabled(1, 0, 1);
    };
    notices.listen();
    ASSERT_EQ(SetOnDataReceivedHandler(1, 0, &sink, &FrameSink::callback), 0u);
    ASSERT_EQ(SetDataReceivingEnabled(1, 0, 1), 0u);
    pad.model->start_stroke(stroke(5));
    ASSERT_TRUE(sink.wait_count(5));

    pad.pad->unplug();
    ASSERT_TRUE(notices.wait_count(1));
    EXPECT_TRUE(wait_until([] { return receive_threads() == 0; }))
        << "the receive thread ends by itself";
    EXPECT_EQ(callback_threads(), 1) << "the data handler stays until the application removes it";
    ASSERT_TRUE(other->replug());  // a new pad takes the next number
    ASSERT_TRUE(notices.wait_count(2));
    ASSERT_TRUE(pad.pad->replug());
    ASSERT_TRUE(notices.wait_count(3));
    EXPECT_EQ(notices.snapshot(), (std::vector<Notices::Notice>{{'r', 1, 1, "inkport-recv"},
                                                                {'a', 2, 2, "inkport-plug"},
                                                                {'a', 1, 2, "inkport-plug"}}));
    ASSERT_TRUE(wait_until([&] { return enabled.load() >= 0; }));
    EXPECT_EQ(enabled.load(), 0);
    pad.model->start_stroke(stroke(5));
    EXPECT_TRUE(sink.wait_count(10)) << "the returned pad streams again";
    EXPECT_EQ(serial_of(1), "AB12");
    EXPECT_EQ(serial_of(2), "CD34");
}

// Deinitialize from another thread while pads keep arriving, then from the
// arrived handler on the monitor thread: both return, no handler runs
// afterwards, the monitor ends, and the library starts again from scratch.
TEST_F(Hotplug, DeinitializeWhileEventsArriveAndFromTheMonitorsHandler) {
    ASSERT_EQ(Initialize(), 0u);
    Notices notices;
    DeinitializeFirst stop_workers_first;
    notices.listen();
    std::vector<padsim::Pad *> pads;
    for (const char *serial : {"P1", "P2", "P3", "P4"})
        pads.push_back(later(padsim::PadConfig::hid(0x22C9, 0x0901, serial),
                             padsim::FirmwareConfig::hid_pad()));
    for (padsim::Pad *p : pads)
        ASSERT_TRUE(p->replug());
    ASSERT_TRUE(notices.wait_count(1));
    Deinitialize();
    const size_t told = notices.snapshot().size();
    EXPECT_EQ(monitor_threads(), 0);

    std::atomic<bool> deinitialized{false};
    notices.also = [&](char, uint32_t) {
        if (!deinitialized.exchange(true))
            Deinitialize();
    };
    ASSERT_EQ(Initialize(), 0u);
    notices.listen();
    unsigned int reply = 0;
    EXPECT_EQ(GetDeviceCount(&reply), 4u);
    pads[0]->unplug();
    ASSERT_TRUE(wait_until([&] { return deinitialized.load(); }));
    EXPECT_TRUE(wait_until([] { return monitor_threads() == 0; })) << "the monitor ended itself";
    EXPECT_FALSE(IsInitialized());
    EXPECT_EQ(notices.snapshot().size(), told + 1);
    ASSERT_EQ(Initialize(), 0u);
    EXPECT_EQ(GetDeviceCount(&reply), 3u);
}

namespace {

// A registration whose handler counts the calls that came with another
// pointer and how many of its own calls are running.
struct Registration {
    std::atomic<int> running{0};
    std::atomic<int> calls{0};
    static std::atomic<int> foreign;  // calls with a pointer not their own
    static void a(void *user, uint32_t) { count(user, &first); }
    static void b(void *user, uint32_t) { count(user, &second); }
    static void count(void *user, Registration *own) {
        ++own->running;
        ++own->calls;
        if (user != own)
            ++foreign;
        --own->running;
    }
    static Registration first, second;
};
std::atomic<int> Registration::foreign{0};
Registration Registration::first, Registration::second;

}  // namespace

// Registrations switched while the handler is being called for eight pads:
// each call comes with its own pointer, and once a registration returns the
// handler it replaced runs no more. Re-registering from inside the handler
// does not wait for itself.
TEST_F(Hotplug, AHandlerComesWithItsPointerAndIsOverWhenItsReplacementReturns) {
    for (int i = 0; i < 8; ++i)
        add_hid(0x22C9, 0x0901, "P" + std::to_string(i));
    ASSERT_EQ(Initialize(), 0u);
    DeinitializeFirst stop_workers_first;
    Registration &first = Registration::first, &second = Registration::second;
    std::atomic<bool> done{false};
    std::thread trigger([&] {
        while (!done)
            TriggerOnDeviceArrivedEvents();
    });
    int still_running = 0;
    const auto until = std::chrono::steady_clock::now() + 2s;
    while (std::chrono::steady_clock::now() < until || first.calls == 0 || second.calls == 0) {
        SetOnDeviceArrivedHandler(&first, &Registration::a);
        still_running += second.running.load() != 0;
        SetOnDeviceArrivedHandler(&second, &Registration::b);
        still_running += first.running.load() != 0;
    }
    SetOnDeviceArrivedHandler(nullptr, nullptr);
    EXPECT_EQ(first.running + second.running, 0);
    done = true;
    trigger.join();
    EXPECT_EQ(Registration::foreign.load(), 0);
    EXPECT_EQ(still_running, 0);

    static std::atomic<int> reregistered{0};
    SetOnDeviceArrivedHandler(nullptr, [](void *, uint32_t) {
        SetOnDeviceArrivedHandler(nullptr, nullptr);
        ++reregistered;
    });
    testutil::must_return_within("TriggerOnDeviceArrivedEvents",
                                 [] { TriggerOnDeviceArrivedEvents(); });
    EXPECT_EQ(reregistered.load(), 1) << "the first call's replacement holds for the next pads";
}

// Pulled at moments around the end of its receive thread (the stop runs on
// another thread meanwhile): each pull is told once, by the thread or by the
// monitor, and the pad comes back each time.
TEST_F(Hotplug, APadPulledAsItsReceivingStopsIsToldOnce) {
    Added pad = add_hid(0x22C9, 0x0901, "AB12");
    ASSERT_EQ(Initialize(), 0u);
    Notices notices;
    DeinitializeFirst stop_workers_first;
    notices.listen();
    constexpr int kRounds = 8;
    for (int round = 0; round < kRounds; ++round) {
        ASSERT_EQ(SetDataReceivingEnabled(1, 0, 1), 0u);
        std::thread stopper([] { SetDataReceivingEnabled(1, 0, 0); });
        // Not a wait for anything: each round pulls a little later.
        std::this_thread::sleep_for(std::chrono::microseconds(250 * round));
        pad.pad->unplug();
        stopper.join();
        ASSERT_TRUE(notices.wait_count(2 * round + 1)) << round;
        ASSERT_TRUE(pad.pad->replug());
        ASSERT_TRUE(notices.wait_count(2 * round + 2)) << round;
    }
    std::string kinds;
    for (const Notices::Notice &n : notices.snapshot())
        kinds += n.kind;
    EXPECT_EQ(kinds, "rararararararara");
}
