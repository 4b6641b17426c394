#include "loopback_firmware.h"

namespace padsim {

void LoopbackFirmware::attach(FirmwareHost *host) {
    std::lock_guard lock(mu_);
    host_ = host;
}

bool LoopbackFirmware::set_feature(int interface, const Bytes &data) {
    std::lock_guard lock(mu_);
    features_[interface] = data;
    return true;
}

std::optional<Bytes> LoopbackFirmware::get_feature(int interface, size_t length) {
    std::lock_guard lock(mu_);
    Bytes reply = features_[interface];
    reply.resize(length);
    return reply;
}

bool LoopbackFirmware::bulk_out(const Bytes &data) {
    FirmwareHost *host;
    {
        std::lock_guard lock(mu_);
        host = host_;
    }
    if (host) {
        host->queue_bulk_in(data);
    }
    return true;
}

}  // namespace padsim
