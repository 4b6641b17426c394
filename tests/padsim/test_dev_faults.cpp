// Transfer-level faults, kernel drivers, unplugging and plugging in again.
#include <cerrno>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>
#include <hidapi/hidapi.h>
#include <libusb.h>

#include "loopback_firmware.h"
#include "padsim.h"

namespace padsim {
namespace {

class Faults : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(bed.ok());
        hid = bed.add_pad(PadConfig::hid(0x22C9, 0x0901, "AB12"),
                          std::make_unique<LoopbackFirmware>());
        vcom = bed.add_pad(PadConfig::vcom(0x0711, 0x0230, "XY9"),
                           std::make_unique<LoopbackFirmware>());
        ASSERT_NE(hid, nullptr);
        ASSERT_NE(vcom, nullptr);
        ASSERT_TRUE(Testbed::in_mock_environment());
        ASSERT_EQ(libusb_init(&ctx), 0);
        ASSERT_EQ(hid_init(), 0);
    }
    void TearDown() override {
        if (hdev) {
            hid_close(hdev);
        }
        if (handle) {
            libusb_close(handle);
        }
        hid_exit();
        libusb_exit(ctx);
    }

    bool listed(const Pad *p, int address) {
        libusb_device **list = nullptr;
        ssize_t n = libusb_get_device_list(ctx, &list);
        bool found = false;
        for (ssize_t i = 0; i < n; ++i) {
            found |= libusb_get_bus_number(list[i]) == p->bus() &&
                     libusb_get_device_address(list[i]) == address;
        }
        libusb_free_device_list(list, 1);
        return found;
    }

    libusb_device_handle *open_vcom() {
        libusb_device **list = nullptr;
        ssize_t n = libusb_get_device_list(ctx, &list);
        for (ssize_t i = 0; i < n; ++i) {
            if (libusb_get_device_address(list[i]) == vcom->address() &&
                libusb_get_bus_number(list[i]) == vcom->bus() &&
                libusb_open(list[i], &handle) == 0 && libusb_claim_interface(handle, 0) != 0) {
                libusb_close(handle);
                handle = nullptr;
            }
        }
        libusb_free_device_list(list, 1);
        return handle;
    }

    hid_device *open_hid(std::string *path = nullptr) {
        hid_device_info *list = hid_enumerate(0x22C9, 0x0901);
        if (!list) {
            return nullptr;
        }
        if (path) {
            *path = list->path;
        }
        hdev = hid_open_path(list->path);
        hid_free_enumeration(list);
        return hdev;
    }

    Testbed bed;
    Pad *hid = nullptr;
    Pad *vcom = nullptr;
    libusb_context *ctx = nullptr;
    libusb_device_handle *handle = nullptr;
    hid_device *hdev = nullptr;
};

TEST_F(Faults, StalledFeatureWriteNeverReachesTheFirmware) {
    ASSERT_NE(open_hid(), nullptr);
    unsigned char first[65] = {0, 0x11};
    ASSERT_EQ(hid_send_feature_report(hdev, first, sizeof first), 65);

    hid->fail_next(Target::Control, 1, -EPIPE);
    unsigned char second[65] = {0, 0x27};
    EXPECT_EQ(hid_send_feature_report(hdev, second, sizeof second), -1);
    // The fault is used up; the loopback still holds the first report.
    unsigned char in[65] = {0};
    ASSERT_EQ(hid_get_feature_report(hdev, in, sizeof in), 65);
    EXPECT_EQ(in[1], 0x11);

    auto log = hid->log();
    ASSERT_GE(log.size(), 2u);
    const Transfer &stalled = log[log.size() - 2];
    EXPECT_EQ(stalled.request(), 0x09);
    EXPECT_EQ(stalled.status, -EPIPE);
    EXPECT_EQ(stalled.data[0], 0x27);
}

TEST_F(Faults, FeatureReadFailsWithIoError) {
    ASSERT_NE(open_hid(), nullptr);
    hid->fail_next(Target::Control, 2, -EIO);
    unsigned char in[65] = {0};
    EXPECT_EQ(hid_get_feature_report(hdev, in, sizeof in), -1);
    EXPECT_EQ(hid_get_feature_report(hdev, in, sizeof in), -1);
    EXPECT_EQ(hid_get_feature_report(hdev, in, sizeof in), 65);
}

TEST_F(Faults, BulkOutFailsThenRecovers) {
    ASSERT_NE(open_vcom(), nullptr);
    vcom->fail_next(Target::BulkOut, 2, -EIO);
    unsigned char out[4] = {1, 2, 3, 4};
    int done = 0;
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x02, out, sizeof out, &done, 1000), LIBUSB_ERROR_IO);
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x02, out, sizeof out, &done, 1000), LIBUSB_ERROR_IO);
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x02, out, sizeof out, &done, 1000), 0);
    EXPECT_EQ(done, 4);
    // Only the transfer that got through was echoed by the loopback.
    unsigned char in[64];
    ASSERT_EQ(libusb_bulk_transfer(handle, 0x81, in, sizeof in, &done, 1000), 0);
    EXPECT_EQ(done, 4);
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x81, in, sizeof in, &done, 50), LIBUSB_ERROR_TIMEOUT);
}

TEST_F(Faults, StalledBulkInIsAPipeError) {
    ASSERT_NE(open_vcom(), nullptr);
    vcom->fail_next(Target::BulkIn, 1, -EPIPE);
    unsigned char in[64];
    int done = 0;
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x81, in, sizeof in, &done, 1000), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_clear_halt(handle, 0x81), 0);
}

TEST_F(Faults, DelayedCompletionLosesToTheCallersTimeout) {
    ASSERT_NE(open_vcom(), nullptr);
    vcom->set_delay(Target::BulkOut, std::chrono::seconds(30));
    unsigned char out[2] = {7, 7};
    int done = 0;
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x02, out, sizeof out, &done, 100),
              LIBUSB_ERROR_TIMEOUT);
    auto log = vcom->log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().endpoint, 0x02);
    EXPECT_EQ(log.back().status, -ENOENT);
    EXPECT_EQ(vcom->in_flight(), 0);

    // A delay inside the caller's patience only makes it wait.
    vcom->set_delay(Target::BulkOut, std::chrono::milliseconds(20));
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x02, out, sizeof out, &done, 5000), 0);
    EXPECT_EQ(done, 2);
}

TEST_F(Faults, HidInterfaceHasAKernelDriverToDetach) {
    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; i < n && !handle; ++i) {
        if (libusb_get_device_address(list[i]) == hid->address()) {
            ASSERT_EQ(libusb_open(list[i], &handle), 0);
        }
    }
    libusb_free_device_list(list, 1);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(libusb_kernel_driver_active(handle, 0), 1);
    EXPECT_EQ(libusb_claim_interface(handle, 0), LIBUSB_ERROR_BUSY);
    ASSERT_EQ(libusb_detach_kernel_driver(handle, 0), 0);
    EXPECT_EQ(libusb_kernel_driver_active(handle, 0), 0);
    ASSERT_EQ(libusb_claim_interface(handle, 0), 0);
    ASSERT_EQ(libusb_release_interface(handle, 0), 0);
    ASSERT_EQ(libusb_attach_kernel_driver(handle, 0), 0);
    EXPECT_EQ(libusb_kernel_driver_active(handle, 0), 1);
}

TEST_F(Faults, HidClassDescriptorsOnTheControlEndpoint) {
    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    libusb_config_descriptor *config = nullptr;
    for (ssize_t i = 0; i < n && !handle; ++i) {
        if (libusb_get_device_address(list[i]) == hid->address()) {
            ASSERT_EQ(libusb_get_active_config_descriptor(list[i], &config), 0);
            ASSERT_EQ(libusb_open(list[i], &handle), 0);
        }
    }
    libusb_free_device_list(list, 1);
    ASSERT_NE(handle, nullptr);
    // The HID class descriptor follows the interface descriptor and
    // announces the report descriptor's length.
    const libusb_interface_descriptor &alt = config->interface[0].altsetting[0];
    ASSERT_EQ(alt.extra_length, 9);
    ASSERT_EQ(alt.extra[1], 0x21);
    const int announced = alt.extra[7] | (alt.extra[8] << 8);
    libusb_free_config_descriptor(config);

    unsigned char buf[512];
    const int got = libusb_control_transfer(handle, 0x81, 0x06, 0x2200, 0, buf, sizeof buf, 1000);
    ASSERT_EQ(got, announced);
    EXPECT_EQ(buf[0], 0x06);        // usage page (vendor)
    EXPECT_EQ(buf[got - 1], 0xC0);  // end collection
    // Shorter requests get the start of it; other interfaces have none.
    EXPECT_EQ(libusb_control_transfer(handle, 0x81, 0x06, 0x2200, 0, buf, 4, 1000), 4);
    EXPECT_EQ(libusb_control_transfer(handle, 0x81, 0x06, 0x2200, 1, buf, sizeof buf, 1000),
              LIBUSB_ERROR_PIPE);
}

TEST_F(Faults, UnplugWhileBulkInIsPending) {
    ASSERT_NE(open_vcom(), nullptr);
    const int old_address = vcom->address();
    int result = 0;
    std::thread reader([&] {
        unsigned char in[64];
        int done = 0;
        result = libusb_bulk_transfer(handle, 0x81, in, sizeof in, &done, 20000);
    });
    ASSERT_TRUE(vcom->wait_in_flight(1));
    vcom->unplug();
    reader.join();
    EXPECT_EQ(result, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(vcom->log().back().status, -ENODEV);

    // Everything after the unplug fails the same way, and the pad is gone.
    unsigned char out[1] = {0};
    int done = 0;
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x02, out, 1, &done, 100), LIBUSB_ERROR_NO_DEVICE);
    libusb_close(handle);
    handle = nullptr;
    EXPECT_FALSE(listed(vcom, old_address));

    // Back under a new address, and working.
    ASSERT_TRUE(vcom->replug());
    EXPECT_NE(vcom->address(), old_address);
    EXPECT_TRUE(listed(vcom, vcom->address()));
    ASSERT_NE(open_vcom(), nullptr);
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x02, out, 1, &done, 1000), 0);
}

TEST_F(Faults, UnplugEndsHidReadsAndReopens) {
    std::string path;
    ASSERT_NE(open_hid(&path), nullptr);
    ASSERT_TRUE(hid->wait_in_flight(1));  // the reader thread's interrupt transfer
    int result = 0;
    std::thread reader([&] {
        unsigned char buf[64];
        result = hid_read_timeout(hdev, buf, sizeof buf, 20000);
    });
    hid->unplug();
    reader.join();
    EXPECT_EQ(result, -1);
    hid_close(hdev);
    hdev = nullptr;
    EXPECT_EQ(hid_open_path(path.c_str()), nullptr);
    EXPECT_EQ(hid_enumerate(0x22C9, 0x0901), nullptr);

    ASSERT_TRUE(hid->replug());
    std::string again;
    ASSERT_NE(open_hid(&again), nullptr);
    EXPECT_NE(again, path);
    unsigned char out[65] = {0, 0x11};
    EXPECT_EQ(hid_send_feature_report(hdev, out, sizeof out), 65);
}

}  // namespace
}  // namespace padsim
