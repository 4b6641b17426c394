// Virtual VCOM pads (bulk endpoints) as the real libusb sees them.
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <libusb.h>

#include "loopback_firmware.h"
#include "padsim.h"

namespace padsim {
namespace {

class VcomPad : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(bed.ok());
        pad = bed.add_pad(PadConfig::vcom(0x0711, 0x0230, "XY9"),
                          std::make_unique<LoopbackFirmware>());
        ASSERT_NE(pad, nullptr);
        ASSERT_TRUE(Testbed::in_mock_environment());
        ASSERT_EQ(libusb_init(&ctx), 0);
    }
    void TearDown() override {
        if (handle) {
            libusb_close(handle);
        }
        libusb_exit(ctx);
    }

    // The libusb device of a pad, referenced; null if libusb does not list it.
    libusb_device *find(const Pad *p) {
        libusb_device **list = nullptr;
        ssize_t n = libusb_get_device_list(ctx, &list);
        libusb_device *found = nullptr;
        for (ssize_t i = 0; i < n; ++i) {
            if (libusb_get_bus_number(list[i]) == p->bus() &&
                libusb_get_device_address(list[i]) == p->address()) {
                found = libusb_ref_device(list[i]);
            }
        }
        libusb_free_device_list(list, 1);
        return found;
    }

    libusb_device_handle *open_claimed(const Pad *p) {
        libusb_device *dev = find(p);
        if (!dev) {
            return nullptr;
        }
        int r = libusb_open(dev, &handle);
        libusb_unref_device(dev);
        if (r != 0 || libusb_claim_interface(handle, 0) != 0) {
            return nullptr;
        }
        return handle;
    }

    Testbed bed;
    Pad *pad = nullptr;
    libusb_context *ctx = nullptr;
    libusb_device_handle *handle = nullptr;
};

std::string ascii(libusb_device_handle *h, uint8_t index) {
    unsigned char buf[256];
    int n = libusb_get_string_descriptor_ascii(h, index, buf, sizeof buf);
    return n < 0 ? "<error>" : std::string(reinterpret_cast<char *>(buf), static_cast<size_t>(n));
}

TEST_F(VcomPad, ListedWithStringsAndBulkEndpoints) {
    libusb_device *dev = find(pad);
    ASSERT_NE(dev, nullptr);
    libusb_device_descriptor desc;
    ASSERT_EQ(libusb_get_device_descriptor(dev, &desc), 0);
    EXPECT_EQ(desc.idVendor, 0x0711);
    EXPECT_EQ(desc.idProduct, 0x0230);

    libusb_config_descriptor *config = nullptr;
    ASSERT_EQ(libusb_get_active_config_descriptor(dev, &config), 0);
    ASSERT_EQ(config->bNumInterfaces, 1);
    const libusb_interface_descriptor &alt = config->interface[0].altsetting[0];
    EXPECT_EQ(alt.bInterfaceClass, 0xFF);
    ASSERT_EQ(alt.bNumEndpoints, 2);
    EXPECT_EQ(alt.endpoint[0].bEndpointAddress, 0x81);
    EXPECT_EQ(alt.endpoint[0].bmAttributes & 3, LIBUSB_TRANSFER_TYPE_BULK);
    EXPECT_EQ(alt.endpoint[1].bEndpointAddress, 0x02);
    EXPECT_EQ(alt.endpoint[1].wMaxPacketSize, 64);
    libusb_free_config_descriptor(config);

    ASSERT_EQ(libusb_open(dev, &handle), 0);
    libusb_unref_device(dev);
    EXPECT_EQ(ascii(handle, desc.iManufacturer), "Quillon");
    EXPECT_EQ(ascii(handle, desc.iProduct), "Signature Pad");
    EXPECT_EQ(ascii(handle, desc.iSerialNumber), "XY9");
    // No kernel driver on a vendor interface: the claim succeeds directly.
    EXPECT_EQ(libusb_kernel_driver_active(handle, 0), 0);
    EXPECT_EQ(libusb_claim_interface(handle, 0), 0);
    EXPECT_EQ(libusb_release_interface(handle, 0), 0);
}

TEST_F(VcomPad, OtherInterfaceShapes) {
    PadConfig big = PadConfig::vcom(0x2689, 0xFF01, "BIG", 512, 512);
    PadConfig odd = PadConfig::vcom(0x22C9, 0xFF02, "ODD");
    odd.interfaces[0].endpoints = {{0x83, TransferType::Interrupt, 16, 4}};
    Pad *p512 = bed.add_pad(big);
    Pad *pint = bed.add_pad(odd);
    ASSERT_NE(p512, nullptr);
    ASSERT_NE(pint, nullptr);

    libusb_device *dev = find(p512);
    ASSERT_NE(dev, nullptr);
    libusb_config_descriptor *config = nullptr;
    ASSERT_EQ(libusb_get_active_config_descriptor(dev, &config), 0);
    EXPECT_EQ(config->interface[0].altsetting[0].endpoint[0].wMaxPacketSize, 512);
    EXPECT_EQ(config->interface[0].altsetting[0].endpoint[1].wMaxPacketSize, 512);
    libusb_free_config_descriptor(config);
    EXPECT_EQ(libusb_get_device_speed(dev), LIBUSB_SPEED_HIGH);
    libusb_unref_device(dev);

    dev = find(pint);
    ASSERT_NE(dev, nullptr);
    ASSERT_EQ(libusb_get_active_config_descriptor(dev, &config), 0);
    const libusb_interface_descriptor &alt = config->interface[0].altsetting[0];
    ASSERT_EQ(alt.bNumEndpoints, 1);
    EXPECT_EQ(alt.endpoint[0].bEndpointAddress, 0x83);
    EXPECT_EQ(alt.endpoint[0].bmAttributes & 3, LIBUSB_TRANSFER_TYPE_INTERRUPT);
    libusb_free_config_descriptor(config);
    libusb_unref_device(dev);
}

TEST_F(VcomPad, BulkOutReachesFirmwareAndBulkInReturnsItsData) {
    ASSERT_NE(open_claimed(pad), nullptr);
    unsigned char out[] = {0xAA, 0x55, 0x02, 0x00, 0x00, 0x00, 0x10};
    int done = 0;
    ASSERT_EQ(libusb_bulk_transfer(handle, 0x02, out, sizeof out, &done, 1000), 0);
    EXPECT_EQ(done, static_cast<int>(sizeof out));

    unsigned char in[64] = {};
    ASSERT_EQ(libusb_bulk_transfer(handle, 0x81, in, sizeof in, &done, 1000), 0);
    ASSERT_EQ(done, static_cast<int>(sizeof out));
    EXPECT_EQ(0, std::memcmp(in, out, sizeof out));

    auto log = pad->log();
    ASSERT_GE(log.size(), 2u);
    const Transfer &o = log[log.size() - 2];
    const Transfer &i = log.back();
    EXPECT_EQ(o.type, TransferType::Bulk);
    EXPECT_EQ(o.endpoint, 0x02);
    EXPECT_EQ(o.data, Bytes(out, out + sizeof out));
    EXPECT_EQ(i.endpoint, 0x81);
    EXPECT_EQ(i.data, Bytes(out, out + sizeof out));
}

TEST_F(VcomPad, LongBlockIsReadInPiecesOfTheRequestedSize) {
    ASSERT_NE(open_claimed(pad), nullptr);
    Bytes block(100);
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<uint8_t>(i);
    }
    pad->host().queue_bulk_in(block);
    pad->host().queue_bulk_in({0xEE});
    unsigned char in[64];
    int done = 0;
    ASSERT_EQ(libusb_bulk_transfer(handle, 0x81, in, sizeof in, &done, 1000), 0);
    ASSERT_EQ(done, 64);
    EXPECT_EQ(in[63], 63);
    ASSERT_EQ(libusb_bulk_transfer(handle, 0x81, in, sizeof in, &done, 1000), 0);
    ASSERT_EQ(done, 36);
    EXPECT_EQ(in[0], 64);
    // The next block does not join the end of the previous one.
    ASSERT_EQ(libusb_bulk_transfer(handle, 0x81, in, sizeof in, &done, 1000), 0);
    ASSERT_EQ(done, 1);
    EXPECT_EQ(in[0], 0xEE);
}

TEST_F(VcomPad, EmptyBulkInTimesOutAndIsCancelled) {
    ASSERT_NE(open_claimed(pad), nullptr);
    unsigned char in[64];
    int done = -1;
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x81, in, sizeof in, &done, 100), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(done, 0);
    // libusb's own time-out cancelled the URB; the pad saw the cancel.
    EXPECT_EQ(pad->in_flight(), 0);
    auto log = pad->log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().endpoint, 0x81);
    EXPECT_EQ(log.back().status, -ENOENT);

    // Data that arrives later goes to the next transfer.
    pad->host().queue_bulk_in({1, 2, 3});
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x81, in, sizeof in, &done, 1000), 0);
    EXPECT_EQ(done, 3);
}

TEST_F(VcomPad, WaitingBulkInGetsDataQueuedLater) {
    ASSERT_NE(open_claimed(pad), nullptr);
    int result = 1;
    int done = 0;
    unsigned char in[64];
    std::thread reader(
        [&] { result = libusb_bulk_transfer(handle, 0x81, in, sizeof in, &done, 10000); });
    ASSERT_TRUE(pad->wait_in_flight(1));
    pad->host().queue_bulk_in({9, 8, 7, 6});
    reader.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(done, 4);
    EXPECT_EQ(in[3], 6);
}

TEST_F(VcomPad, EveryOpenOfTheNodeCounts) {
    // A close and reopen leaves no trace in the transfer log; the count shows it.
    const int before = pad->opens();
    for (int i = 0; i < 2; ++i) {
        ASSERT_NE(open_claimed(pad), nullptr);
        libusb_close(handle);
        handle = nullptr;
    }
    EXPECT_EQ(pad->opens(), before + 2);
    EXPECT_TRUE(pad->log().empty());
}

TEST_F(VcomPad, UnknownEndpointIsRefused) {
    ASSERT_NE(open_claimed(pad), nullptr);
    unsigned char buf[8] = {};
    int done = 0;
    EXPECT_NE(libusb_bulk_transfer(handle, 0x05, buf, sizeof buf, &done, 100), 0);
    EXPECT_EQ(pad->in_flight(), 0);
}

}  // namespace
}  // namespace padsim
