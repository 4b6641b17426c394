// The local pad stack on a virtual pad: reports from the library's threads
// come out of poll_events in the pad's order, a pad pulled out shows as a
// removal event, a failing call brings the library's exception message, and
// an arrival is described when it is handed out.
#include <gtest/gtest.h>
#include <inkport/inkport.h>

#include "firmware_model.h"
#include "pad_pen.h"
#include "pad_stack.h"
#include "padsim.h"

using namespace std::chrono_literals;
using inkclient::Event;
using inkclient::Fault;

namespace {

// Polls until `enough` holds for the events seen so far, or 20 s have passed.
template <typename P>
std::vector<Event> poll_until(inkclient::PadStack &stack, P enough) {
    std::vector<Event> events;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!enough(events) && std::chrono::steady_clock::now() < deadline)
        stack.poll_events(200ms, [&](const Event &e) { events.push_back(e); });
    return events;
}

}  // namespace

// A pad plugged in after the stack started watching is described with its
// ids and serial number when the event is handed out.
TEST(LocalStack, AnArrivalIsDescribedWhenItIsHandedOut) {
    padsim::Testbed bed;
    ASSERT_TRUE(bed.ok());
    padsim::Pad *pad = bed.add_pad(
        padsim::PadConfig::hid(0x22C9, 0x0901, "LS2"),
        std::make_unique<padsim::PadModel>(padsim::FirmwareConfig::hid_pad()), padsim::Plug::Later);
    ASSERT_NE(pad, nullptr);
    auto stack = inkclient::make_local_stack();
    ASSERT_TRUE(stack->initialize().ok());
    ASSERT_TRUE(stack->watch_arrivals().ok());
    ASSERT_TRUE(pad->replug());
    std::vector<Event> events =
        poll_until(*stack, [](const std::vector<Event> &e) { return !e.empty(); });
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Event::Kind::arrived);
    EXPECT_EQ(events[0].device, 1u);
    EXPECT_EQ(events[0].vendor_id, 0x22C9u);
    EXPECT_EQ(events[0].product_id, 0x0901u);
    EXPECT_EQ(events[0].serial, u"LS2");
    stack.reset();  // the library ends before the testbed goes
}

TEST(LocalStack, ReportsComeInOrderAndAPulledPadShowsAsARemoval) {
    padsim::Testbed bed;  // before the library initialises libusb
    ASSERT_TRUE(bed.ok());
    auto owned = std::make_unique<padsim::PadModel>(padsim::FirmwareConfig::hid_pad());
    padsim::PadModel *model = owned.get();
    padsim::Pad *pad = bed.add_pad(padsim::PadConfig::hid(0x22C9, 0x0901, "LS1"), std::move(owned));
    ASSERT_NE(pad, nullptr);
    {
        auto stack = inkclient::make_local_stack();
        ASSERT_TRUE(stack->initialize().ok());
        unsigned count = 0;
        ASSERT_TRUE(stack->device_count(count).ok());
        ASSERT_EQ(count, 1u);
        std::u16string serial;
        ASSERT_TRUE(stack->serial_number(1, serial).ok());
        EXPECT_EQ(serial, u"LS1");

        ASSERT_TRUE(stack->set_receiving(1, 0, true).ok());
        padsim::PenStroke stroke;
        stroke.reports = 12;
        stroke.rate_hz = 0;
        model->start_stroke(stroke);
        std::vector<Event> events =
            poll_until(*stack, [](const std::vector<Event> &e) { return e.size() >= 12; });
        ASSERT_EQ(events.size(), 12u);
        for (uint32_t i = 0; i < events.size(); ++i) {
            ASSERT_EQ(events[i].kind, Event::Kind::data);
            EXPECT_EQ(events[i].device, 1u);
            padsim::PenSample sample;
            ASSERT_TRUE(padsim::parse_pen_report(events[i].report.data(), events[i].report.size(),
                                                 &sample));
            EXPECT_EQ(sample.seq, i);
        }

        pad->unplug();
        events = poll_until(*stack, [](const std::vector<Event> &e) {
            for (const Event &x : e)
                if (x.kind == Event::Kind::removed)
                    return true;
            return false;
        });
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back().kind, Event::Kind::removed);
        EXPECT_EQ(events.back().device, 1u);

        // Stopping first waits for the receive thread, which ended on the removal.
        EXPECT_TRUE(stack->set_receiving(1, 0, false).ok());
        inkclient::Error e = stack->send_ssp(1, 0, {0x00, 0x00, 0x00, 0x10});
        EXPECT_EQ(e.fault, Fault::api);
        EXPECT_EQ(e.function, "SendSspMessage");
        EXPECT_NE(e.handle, 0u);
        EXPECT_FALSE(e.message.empty());
        EXPECT_NE(e.message, "(no message for this exception)");
    }  // the stack deinitialises the library before the testbed goes
}
