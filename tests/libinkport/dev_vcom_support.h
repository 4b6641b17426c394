// Shared pieces of the tests on emulated VCOM pads (bulk endpoints).
#pragma once

#include <libusb.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core.h"
#include "core_table.h"
#include "dev_support.h"
#include "pad_ssp.h"
#include "uni_queue.h"
#include "vcom.h"

namespace devtest {

inline constexpr uint16_t kBridgeVid = 0x0711;
inline constexpr uint16_t kBridgePid = 0x0230;
inline constexpr uint8_t kBulkIn = 0x81;
inline constexpr uint8_t kBulkOut = 0x02;

inline padsim::Bytes tokens_of(const padsim::Bytes &message) {
    return padsim::ssp::encode_tokens(message);
}

inline padsim::Bytes legacy(const padsim::Bytes &payload, bool biodata = false) {
    return *padsim::ssp::make_old(payload.data(), payload.size(), biodata);
}

inline size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

inline std::vector<padsim::Transfer> bulk_transfers(const padsim::Pad &pad, uint8_t endpoint) {
    std::vector<padsim::Transfer> out;
    for (const auto &t : pad.log())
        if (t.type == padsim::TransferType::Bulk && t.endpoint == endpoint)
            out.push_back(t);
    return out;
}

class VcomBench : public PadBench {
  protected:
    // A VCOM pad whose firmware model describes itself with `serial`.
    Added add_vcom(uint16_t vid, uint16_t pid, const std::string &serial, uint16_t in_size = 64,
                   uint16_t out_size = 64, const std::string &manufacturer = "Quillon",
                   padsim::FirmwareConfig cfg = padsim::FirmwareConfig::vcom_pad()) {
        padsim::PadConfig usb = padsim::PadConfig::vcom(vid, pid, serial, in_size, out_size);
        usb.manufacturer = manufacturer;
        cfg.serial_number = serial;
        auto model = std::make_unique<padsim::PadModel>(cfg);
        padsim::PadModel *raw = model.get();
        padsim::Pad *pad = bed.add_pad(usb, std::move(model));
        EXPECT_NE(pad, nullptr);
        if (pad != nullptr)
            note_idle(*pad);
        return {pad, raw};
    }

    // Descriptors of this process open on the pad's device node, the
    // bench's own included.
    int node_descriptors(const padsim::Pad &pad) {
        char node[64];
        snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", pad.bus(), pad.address());
        const std::string path = bed.root_dir() + node;
        int n = 0;
        std::error_code ec;
        for (const auto &fd : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
            std::error_code link_ec;
            if (std::filesystem::read_symlink(fd.path(), link_ec).string() == path)
                ++n;
        }
        return n;
    }

    // Takes what the bench holds open on a new pad as its zero.
    void note_idle(const padsim::Pad &pad) { idle_[&pad] = node_descriptors(pad); }

    // Handles open on the pad beyond what the bench holds.
    int open_handles(const padsim::Pad &pad) { return node_descriptors(pad) - idle_[&pad]; }

    // The settings string of an API device, which the call makes current.
    std::string settings_of(unsigned int device) {
        unsigned int v = 0;
        EXPECT_EQ(GetVendorId(device, &v), 0u);
        char settings[256] = {};
        EXPECT_GT(core_get_pad_settings(settings), 0);
        return settings;
    }

  private:
    std::map<const padsim::Pad *, int> idle_;
};

// A record opened on a VCOM pad through a libusb context of the test's own,
// as the search prepares one, for the report operations by themselves.
struct VcomRecord {
    libusb_context *ctx = nullptr;
    ql_device rec{};

    bool open(const padsim::Pad &pad) {
        if (libusb_init(&ctx) != 0)
            return false;
        libusb_device **list = nullptr;
        ssize_t n = libusb_get_device_list(ctx, &list);
        for (ssize_t i = 0; i < n; ++i)
            if (libusb_get_bus_number(list[i]) == pad.bus() &&
                libusb_get_device_address(list[i]) == pad.address())
                rec.vcom_device = libusb_ref_device(list[i]);
        if (n >= 0)
            libusb_free_device_list(list, 1);
        if (rec.vcom_device == nullptr)
            return false;
        rec.transport = &vcom_transport;
        rec.vcom_handle = vcom_open_dev(rec.vcom_device);
        if (rec.vcom_handle == nullptr || libusb_claim_interface(rec.vcom_handle, 0) != 0)
            return false;
        rec.endpoint_address_in = kBulkIn;
        rec.endpoint_address_out = kBulkOut;
        rec.vcom_in_size = 64;
        rec.vcom_out_size = 64;
        rec.send_ssp_message = __send_ssp_message;
        rec.receive_ssp_message = __receive_ssp_message;
        return true;
    }

    ~VcomRecord() {
        __core_close_dev(&rec);
        if (rec.ssp_input_read != nullptr)
            destroy_uni_queue(rec.ssp_input_read);
        if (rec.ssp_command_messages != nullptr)
            destroy_uni_queue(rec.ssp_command_messages);
        if (rec.vcom_device != nullptr)
            libusb_unref_device(rec.vcom_device);
        if (ctx != nullptr)
            libusb_exit(ctx);
    }
};

}  // namespace devtest
