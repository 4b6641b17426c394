// Handles during the HID search: a version exchange that fails makes the
// transfer layer close the scratch record and open it again, so the handle
// the search closes at the end is a different one from the handle it opened.
// Whatever happens, every handle is closed once, and the table only ever
// stores closed records.
#include <hidapi.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core.h"
#include "core_table.h"
#include "dev_async_support.h"
#include "hid.h"

using namespace devtest;

namespace {

constexpr uint16_t kVid = 0x22C9;  // pad type 13: no rectangle reset when
constexpr uint16_t kPid = 0x0901;  // the table is cleared, so no extra traffic

// The firmware model behind a front that stalls the first `refusals`
// version requests (SET_REPORT 0x11). One failed write of the library's
// feature transfer retries for a second, at most 13 times, so 13 stalls make
// that write fail as a whole and the transfer layer reopen the record.
class RefusesVersionRequests final : public padsim::Firmware {
  public:
    explicit RefusesVersionRequests(int refusals)
        : model_(padsim::FirmwareConfig::hid_pad()), left_(refusals) {}

    void attach(padsim::FirmwareHost *host) override { model_.attach(host); }
    bool set_feature(int interface, const padsim::Bytes &data) override {
        if (!data.empty() && data[0] == 0x11) {
            std::lock_guard<std::mutex> g(mu_);
            if (left_ > 0) {
                --left_;
                ++refused_;
                return false;
            }
            ++accepted_;
        }
        return model_.set_feature(interface, data);
    }
    std::optional<padsim::Bytes> get_feature(int interface, size_t length) override {
        return model_.get_feature(interface, length);
    }
    bool bulk_out(const padsim::Bytes &data) override { return model_.bulk_out(data); }

    int refused() {
        std::lock_guard<std::mutex> g(mu_);
        return refused_;
    }
    int accepted() {
        std::lock_guard<std::mutex> g(mu_);
        return accepted_;
    }

  private:
    padsim::PadModel model_;
    std::mutex mu_;
    int left_;
    int refused_ = 0;
    int accepted_ = 0;
};

// What each descriptor of the process points at, so that a failure names
// the one left behind.
std::multiset<std::string> process_descriptors() {
    std::multiset<std::string> targets;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        std::error_code link_ec;
        targets.insert(std::filesystem::read_symlink(it->path(), link_ec).string());
    }
    return targets;
}

std::string joined(const std::multiset<std::string> &targets) {
    std::string all;
    for (const std::string &t : targets)
        all += t + " ";
    return all;
}

// The emulator's side of a closed device connection is a socket that its own
// thread closes a moment later; a descriptor the library left open stays.
std::string descriptors_once_settled(const std::multiset<std::string> &before) {
    std::multiset<std::string> now;
    wait_until([&] { return (now = process_descriptors()) == before; }, 5s);
    return joined(now);
}

// A core table of our own, laid out as core_initialize lays out its own.
struct OwnTable {
    ql_device_list table{};
    std::vector<ql_device> records = std::vector<ql_device>(kMaxDevices * kMaxInterfaces);
    std::vector<ql_device *> pointers = std::vector<ql_device *>(kMaxDevices * kMaxInterfaces);

    OwnTable() {
        for (int i = 0; i < kMaxDevices; ++i) {
            for (int k = 0; k < kMaxInterfaces; ++k)
                pointers[i * kMaxInterfaces + k] = &records[i * kMaxInterfaces + k];
            table.devices[i].interfaces = &pointers[i * kMaxInterfaces];
        }
    }
    ~OwnTable() { core_close_all_devs_clear_mem(&table); }
};

class SearchHandles : public PadBench {
  protected:
    void TearDown() override {
        Deinitialize();
        hid_exit();
    }

    RefusesVersionRequests *add_pad(int refusals, const std::string &serial) {
        auto fw = std::make_unique<RefusesVersionRequests>(refusals);
        RefusesVersionRequests *raw = fw.get();
        pad_ = bed.add_pad(padsim::PadConfig::hid(kVid, kPid, serial), std::move(fw));
        EXPECT_NE(pad_, nullptr);
        idle_ = node_descriptors();
        return raw;
    }

    // Handles of this process open on the pad's device node beyond what the
    // bench holds there.
    int open_handles() { return node_descriptors() - idle_; }

  private:
    int node_descriptors() {
        if (pad_ == nullptr)
            return 0;
        char node[64];
        snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", pad_->bus(), pad_->address());
        const std::string path = bed.root_dir() + node;
        int n = 0;
        std::error_code ec;
        for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
             !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
            std::error_code link_ec;
            if (std::filesystem::read_symlink(it->path(), link_ec).string() == path)
                ++n;
        }
        return n;
    }

    padsim::Pad *pad_ = nullptr;
    int idle_ = 0;
};

}  // namespace

// The first version request fails as a whole, the record is reopened, the
// second attempt finds the pad: the reopened handle is the one closed.
TEST_F(SearchHandles, ReopenDuringTheSearchLeavesNothingOpenOnceDeinitialized) {
    RefusesVersionRequests *fw = add_pad(13, "REOPEN");
    const auto before = process_descriptors();
    ASSERT_EQ(Initialize(), 0u);
    unsigned int reply = 0;
    EXPECT_EQ(GetDeviceCount(&reply), 1u) << "the pad is found on the attempt after the reopen";
    EXPECT_EQ(fw->refused(), 13);
    EXPECT_GE(fw->accepted(), 1);
    EXPECT_EQ(open_handles(), 1) << "only the current device is open";
    Deinitialize();
    hid_exit();
    EXPECT_EQ(open_handles(), 0);
    EXPECT_EQ(descriptors_once_settled(before), joined(before));
}

// The search by itself: the stored record is closed, and neither the handle
// the search opened nor the one the recovery opened is left behind.
TEST_F(SearchHandles, StoredRecordIsClosedAfterARecovery) {
    RefusesVersionRequests *fw = add_pad(13, "STORED");
    const auto before = process_descriptors();
    {
        OwnTable own;
        EXPECT_EQ(search_hid_devices(&own.table), 1);
        ASSERT_EQ(own.table.count_of_devices, 1);
        EXPECT_TRUE(own.table.devices[0].in_use);
        EXPECT_EQ(own.table.devices[0].hid, nullptr);
        EXPECT_GE(fw->accepted(), 1);
        EXPECT_EQ(open_handles(), 0);
    }
    hid_exit();
    EXPECT_EQ(descriptors_once_settled(before), joined(before));
}

// Every version attempt fails: each one closes and reopens the record, and
// the search, which ends there, closes the handle the last reopen left.
TEST_F(SearchHandles, SearchEndedByAFailedVersionReadClosesTheLastHandle) {
    RefusesVersionRequests *fw = add_pad(1000, "NEVER");
    const auto before = process_descriptors();
    {
        OwnTable own;
        EXPECT_EQ(search_hid_devices(&own.table), -1);
        EXPECT_EQ(own.table.count_of_devices, 0);
        EXPECT_EQ(fw->accepted(), 0);
        EXPECT_GT(fw->refused(), 3) << "three attempts, each retried within its second";
        EXPECT_EQ(open_handles(), 0);
    }
    hid_exit();
    EXPECT_EQ(descriptors_once_settled(before), joined(before));
}
