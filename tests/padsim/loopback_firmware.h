// The smallest firmware that makes a virtual pad answer: a feature report
// read returns the last one written to that interface, bulk OUT data comes
// back on bulk IN. The runner uses it when no pad model is built in; bench
// tests use it to see bytes travel both ways.
#pragma once

#include <map>
#include <mutex>

#include "firmware.h"

namespace padsim {

class LoopbackFirmware final : public Firmware {
  public:
    void attach(FirmwareHost *host) override;
    bool set_feature(int interface, const Bytes &data) override;
    std::optional<Bytes> get_feature(int interface, size_t length) override;
    bool bulk_out(const Bytes &data) override;

  private:
    std::mutex mu_;
    FirmwareHost *host_ = nullptr;
    std::map<int, Bytes> features_;
};

}  // namespace padsim
