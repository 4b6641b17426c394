// A reply much longer than one 0xF9 answer from the firmware model: the pad
// cuts its token stream every 62 bytes, through escapes and the SOF alike,
// and the library has to put the message back together exactly.
#include <vector>

#include "dev_support.h"
#include "pad_ssp.h"
#include "pad_wire.h"

using namespace devtest;

namespace {

class LongReply : public PadBench {};

// The mode list request of the signature component (component id 1).
const padsim::Bytes kModeListRequest = {0x01, 0x02, 0x00, padsim::wire::kMsgModeList, 0x00, 0x00};

// Whether a cut after every 62 token bytes falls inside a token somewhere.
bool some_cut_splits_a_token(const padsim::Bytes &tokens) {
    for (size_t cut = padsim::wire::kSspInMaxData; cut + 1 < tokens.size();
         cut += padsim::wire::kSspInMaxData) {
        if (tokens[cut - 1] == 0xAA && tokens[cut] == 0x55)
            return true;
        if (cut >= 2 && tokens[cut - 2] == 0xAA && tokens[cut - 1] == 0x55)
            return true;
    }
    return false;
}

}  // namespace

TEST_F(LongReply, ModeListWithEscapesAtEveryReportEdgeArrivesExactly) {
    padsim::FirmwareConfig cfg = padsim::FirmwareConfig::hid_pad();
    cfg.signpad_modes.clear();
    // Each AA 55 AA 55 becomes two escapes; with the other values they fall
    // across the report edges at every offset.
    for (uint32_t i = 0; i < 120; ++i)
        cfg.signpad_modes.push_back(i % 4 == 3 ? 0x00000100 + i : 0x55AA55AA);
    Added p = add_hid(0x2689, 0x0CE1, "LONG", 1, cfg);
    ASSERT_EQ(Initialize(), 0u);

    ASSERT_EQ(SendSspMessage(1, 0, kModeListRequest.data(),
                             static_cast<unsigned int>(kModeListRequest.size())),
              0u);
    std::vector<uint8_t> got(4096, 0);
    unsigned int reply = 0;
    uint32_t h =
        ReceiveSspMessage(1, 0, got.data(), static_cast<unsigned int>(got.size()), 2000, &reply);
    ASSERT_EQ(h, 0u) << exception_message(h);

    std::vector<padsim::Bytes> sent = p.model->sent_messages();
    ASSERT_EQ(sent.size(), 1u);
    const padsim::Bytes tokens = padsim::ssp::encode_tokens(sent[0]);
    ASSERT_TRUE(some_cut_splits_a_token(tokens)) << "the reply must put tokens across edges";
    ASSERT_GT(sent[0].size(), 3u * padsim::wire::kSspInMaxData);
    got.resize(reply);
    EXPECT_EQ(got, sent[0]);
}
