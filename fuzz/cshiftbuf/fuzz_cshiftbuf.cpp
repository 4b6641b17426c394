// CShiftBuffer against arbitrary byte streams in arbitrary chunkings.
//
// The input is a list of steps. A control byte c below 0xF0 appends the next
// c + 1 input bytes; 0xF0 and above appends a filler of (c - 0xEF) * 256 KiB,
// so that inputs of a few kilobytes still reach the buffer's capacity. After
// each append every complete package is taken out, as the bridges do.
//
// Checked besides memory safety (the build runs under ASan and UBSan): no
// package shorter than its header or longer than the buffered bytes is handed
// on, and the packages, their order and the fill agree with a plain model of
// the stream.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cshiftbuf.h"
#include "wrappers.h"

namespace {

constexpr size_t kFillerUnit = 256 * 1024;
constexpr size_t kFillerMax = 16 * kFillerUnit;

// The stream as the buffer is meant to see it: whole packages leave from the
// front, a front header below the header size or an append beyond the
// capacity drops everything.
class Model {
  public:
    void clear() {
        bytes_.clear();
        start_ = 0;
    }
    void append(const uint8_t *data, size_t length) {
        if (kHeadSize + size() + length > CShiftBuffer::kAppendLimit) {
            clear();
            return;
        }
        bytes_.insert(bytes_.end(), data, data + length);
        drop_broken();
    }
    size_t size() const { return bytes_.size() - start_; }
    bool complete() const { return size() >= kHeadSize && size() >= total(); }
    uint32_t total() const { return header_total_size(front()); }
    const uint8_t *front() const { return bytes_.data() + start_; }
    void pop() {
        start_ += total();
        if (start_ == bytes_.size())
            clear();
        drop_broken();
    }

  private:
    void drop_broken() {
        if (size() >= kHeadSize && total() < kHeadSize)
            clear();
    }
    std::vector<uint8_t> bytes_;
    size_t start_ = 0;
};

void check(bool condition) {
    if (!condition)
        abort();
}

void take_complete(CShiftBuffer &buffer, Model &model) {
    while (buffer.IsDataComplete()) {
        const uint64_t total = buffer.GetTotalSize();
        const uint64_t fill = buffer.GetFill();
        check(total >= static_cast<uint64_t>(kHeadSize));
        check(total <= fill);
        check(model.complete() && model.total() == total);
        check(memcmp(buffer.GetPointerAtPos(0), model.front(), total) == 0);
        buffer.ResetPackage();
        model.pop();
    }
    check(!model.complete());
    check(buffer.GetFill() == model.size());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Broken streams are reported on every run: keep the reports out of the
    // fuzzer's own log.
    daemon_proc = 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // One buffer for all inputs, as a bridge keeps one for its life; bytes
    // beyond the fill that earlier inputs left must never matter.
    static CShiftBuffer buffer;
    static const std::vector<uint8_t> filler(kFillerMax, 0xA5);
    static Model model;
    buffer.ClearHeader();
    model.clear();
    size_t at = 0;
    while (at < size) {
        const uint8_t control = data[at++];
        if (control >= 0xF0) {
            const size_t length = (control - 0xEFu) * kFillerUnit;
            buffer.AppendData(reinterpret_cast<const char *>(filler.data()),
                              static_cast<int>(length));
            model.append(filler.data(), length);
        } else {
            size_t length = control + 1u;
            if (length > size - at)
                length = size - at;
            if (length == 0)
                break;
            buffer.AppendData(reinterpret_cast<const char *>(data + at), static_cast<int>(length));
            model.append(data + at, length);
            at += length;
        }
        take_complete(buffer, model);
    }
    return 0;
}
