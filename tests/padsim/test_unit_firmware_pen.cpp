// Pen strokes: input reports on HID pads, biodata messages on VCOM pads
// (only while biodata is on), produced on the model's own thread.
#include <gtest/gtest.h>

#include "test_unit_fake_host.h"

namespace padsim {
namespace {

using testing::bytes;
using testing::FakeHost;
using testing::kGenerous;

constexpr uint8_t kSignpad = 1;

std::vector<PenSample> samples_of(const std::vector<Bytes> &reports) {
    std::vector<PenSample> out;
    for (const auto &r : reports) {
        PenSample s;
        EXPECT_TRUE(parse_pen_report(r.data(), r.size(), &s));
        out.push_back(s);
    }
    return out;
}

void expect_stroke(const std::vector<PenSample> &got, const PenStroke &st, uint32_t first_seq) {
    ASSERT_EQ(got.size(), st.reports);
    for (uint32_t i = 0; i < st.reports; ++i) {
        EXPECT_EQ(got[i].seq, first_seq + i);
        EXPECT_EQ(got[i].x, st.x0 + st.dx * static_cast<int>(i));
        EXPECT_EQ(got[i].y, st.y0 + st.dy * static_cast<int>(i));
        EXPECT_EQ(got[i].pressure, st.pressure);
    }
}

// Biodata messages of a VCOM bulk stream, payloads only.
std::vector<Bytes> biodata_payloads(const Bytes &stream) {
    std::vector<Bytes> out;
    for (const auto &m : testing::messages_of(stream)) {
        EXPECT_TRUE(ssp::is_biodata(m[0]));
        out.emplace_back(m.begin() + 1, m.end());
    }
    return out;
}

TEST(PadPen, HidStrokeAsInputReports) {
    PadModel pad(FirmwareConfig::hid_pad());
    FakeHost host;
    pad.attach(&host);
    PenStroke st;
    st.reports = 25;
    st.rate_hz = 1000;
    pad.start_stroke(st);
    ASSERT_TRUE(pad.wait_pen_idle(kGenerous));
    auto reports = host.interrupt_reports();
    std::vector<Bytes> payloads;
    for (const auto &[iface, r] : reports) {
        EXPECT_EQ(iface, 0);
        EXPECT_EQ(r.size(), 64u);
        payloads.push_back(r);
    }
    expect_stroke(samples_of(payloads), st, 0);
    EXPECT_EQ(pad.pen_reports_sent(), 25u);
    pad.attach(nullptr);
}

TEST(PadPen, Type1PadSendsShortReportsBackToBack) {
    PadModel pad(FirmwareConfig::type1_pad());
    FakeHost host;
    pad.attach(&host);
    PenStroke a;
    a.reports = 4;
    a.rate_hz = 0;
    PenStroke b = a;
    b.x0 = 7000;
    b.dx = -1;
    pad.start_stroke(a);
    pad.start_stroke(b);
    ASSERT_TRUE(pad.wait_pen_idle(kGenerous));
    std::vector<Bytes> payloads;
    for (const auto &[iface, r] : host.interrupt_reports()) {
        EXPECT_EQ(r.size(), wire::kType1InputReportSize);
        payloads.push_back(r);
    }
    ASSERT_EQ(payloads.size(), 8u);
    auto samples = samples_of(payloads);
    expect_stroke({samples.begin(), samples.begin() + 4}, a, 0);
    expect_stroke({samples.begin() + 4, samples.end()}, b, 4);
    EXPECT_EQ(samples[0].stroke, 0);
    EXPECT_EQ(samples[4].stroke, 1);
    pad.attach(nullptr);
}

TEST(PadPen, VcomBiodataOnlyWhileSwitchedOn) {
    PadModel pad(FirmwareConfig::vcom_pad());
    FakeHost host;
    pad.attach(&host);
    PenStroke st;
    st.reports = 6;
    st.rate_hz = 0;

    pad.start_stroke(st);
    ASSERT_TRUE(pad.wait_pen_idle(kGenerous));
    EXPECT_TRUE(host.bulk_chunks().empty());
    EXPECT_EQ(pad.pen_reports_dropped(), 6u);

    pad.bulk_out(ssp::encode_tokens(bytes({kSignpad, 0x02, 0x00, 0x11, 0x01, 0x00})));
    ASSERT_TRUE(pad.wait_output_idle(kGenerous));
    auto replies = testing::messages_of(host.take_bulk());
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], bytes({kSignpad, 0x01, 0x00, 0x11, 0x01}));

    pad.set_aa55_in_payloads(true);
    pad.start_stroke(st);
    ASSERT_TRUE(pad.wait_pen_idle(kGenerous));
    const Bytes stream = host.take_bulk();
    const Bytes escape = bytes({0xAA, 0x55, 0x00});
    EXPECT_NE(std::search(stream.begin(), stream.end(), escape.begin(), escape.end()),
              stream.end());
    auto payloads = biodata_payloads(stream);
    for (const auto &p : payloads) {
        EXPECT_EQ(p.size(), 64u);
    }
    // The dropped samples still used up their sequence numbers.
    expect_stroke(samples_of(payloads), st, 6);

    pad.bulk_out(ssp::encode_tokens(bytes({kSignpad, 0x02, 0x00, 0x11, 0x00, 0x00})));
    pad.start_stroke(st);
    ASSERT_TRUE(pad.wait_pen_idle(kGenerous));
    EXPECT_EQ(testing::messages_of(host.take_bulk()).size(), 1u) << "only the switch's reply";
    EXPECT_EQ(pad.pen_reports_dropped(), 12u);
    pad.attach(nullptr);
}

TEST(PadPen, OutputWaitsForAHost) {
    PadModel pad(FirmwareConfig::hid_pad());
    PenStroke st;
    st.reports = 3;
    st.rate_hz = 0;
    pad.start_stroke(st);
    EXPECT_FALSE(pad.wait_pen_idle(std::chrono::milliseconds(0)));
    FakeHost host;
    pad.attach(&host);
    ASSERT_TRUE(host.wait_interrupt_reports(3, kGenerous));
    ASSERT_TRUE(pad.wait_pen_idle(kGenerous));
    EXPECT_EQ(host.interrupt_reports().size(), 3u);
    pad.attach(nullptr);
}

// A stroke far longer than the test: the destructor must end it, not wait.
TEST(PadPen, DestructorStopsARunningStroke) {
    FakeHost host;
    {
        PadModel pad(FirmwareConfig::hid_pad());
        pad.attach(&host);
        PenStroke st;
        st.reports = 1000000;
        st.rate_hz = 1;
        pad.start_stroke(st);
        ASSERT_TRUE(host.wait_interrupt_reports(1, kGenerous));
        EXPECT_FALSE(pad.wait_pen_idle(std::chrono::milliseconds(0)));
    }
    EXPECT_GE(host.interrupt_reports().size(), 1u);
}

}  // namespace
}  // namespace padsim
