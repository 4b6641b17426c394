// Reassembly of packages from pieces of a byte stream.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "bridge_test_util.h"
#include "cshiftbuf.h"
#include "wrapunix.h"

using bridge_test::Bytes;
using bridge_test::make_call;

namespace {

void append(CShiftBuffer &b, const Bytes &bytes, size_t from, size_t to) {
    b.AppendData(bytes.data() + from, static_cast<int>(to - from));
}

}  // namespace

TEST(ShiftBuffer, PackageCompletesWithItsLastPiece) {
    CShiftBuffer b;
    Bytes p = make_call(0x101, 100);
    append(b, p, 0, 10);
    EXPECT_FALSE(b.IsDataComplete());
    EXPECT_FALSE(b.IsHeadEmpty());
    append(b, p, 10, 100);
    ASSERT_TRUE(b.IsDataComplete());
    EXPECT_EQ(b.GetTotalSize(), 100u);
    EXPECT_EQ(b.GetMessageID(), 0x101u);
    EXPECT_EQ(b.GetFunctionID(), 0x01);
    EXPECT_EQ(memcmp(b.GetPointerAtPos(0), p.data(), 100), 0);

    b.ResetPackage();
    EXPECT_TRUE(b.IsHeadEmpty());
    EXPECT_EQ(b.GetTotalSize(), 0u);
    EXPECT_FALSE(b.IsDataComplete());
}

TEST(ShiftBuffer, PackageSplitInThreeCompletesOnce) {
    CShiftBuffer b;
    Bytes p = make_call(0x202, 300);
    append(b, p, 0, 20);  // not even the whole header
    EXPECT_FALSE(b.IsDataComplete());
    append(b, p, 20, 150);
    EXPECT_FALSE(b.IsDataComplete());
    append(b, p, 150, 300);
    ASSERT_TRUE(b.IsDataComplete());
    EXPECT_EQ(memcmp(b.GetPointerAtPos(0), p.data(), 300), 0);
    b.ResetPackage();
    EXPECT_FALSE(b.IsDataComplete());
    EXPECT_TRUE(b.IsHeadEmpty());
}

TEST(ShiftBuffer, SurplusMovesToTheFront) {
    CShiftBuffer b;
    Bytes first = make_call(0x301, 100);
    Bytes second = make_call(0x302, 120);
    Bytes stream = first;
    stream.insert(stream.end(), second.begin(), second.end());

    append(b, stream, 0, 150);
    ASSERT_TRUE(b.IsDataComplete());
    EXPECT_EQ(b.GetMessageID(), 0x301u);
    b.ResetPackage();
    EXPECT_EQ(b.GetFill(), 50u);
    EXPECT_EQ(memcmp(b.GetPointerAtPos(0), second.data(), 50), 0);
    EXPECT_FALSE(b.IsDataComplete());

    append(b, stream, 150, 220);
    ASSERT_TRUE(b.IsDataComplete());
    EXPECT_EQ(b.GetMessageID(), 0x302u);
    EXPECT_EQ(b.GetTotalSize(), 120u);
    EXPECT_EQ(memcmp(b.GetPointerAtPos(0), second.data(), 120), 0);
}

TEST(ShiftBuffer, FewerBytesThanAHeaderNeverCountAsAPackage) {
    CShiftBuffer b;
    // After a package was consumed exactly, the header area reads zero.
    Bytes p = make_call(0x401, 60);
    append(b, p, 0, 60);
    b.ResetPackage();
    Bytes next = make_call(0x402, 60);
    append(b, next, 0, 5);
    EXPECT_FALSE(b.IsDataComplete());

    // After a shift, stale bytes stand where the size field is not yet
    // overwritten: here the surplus makes it read 5.
    CShiftBuffer c;
    Bytes stream = make_call(0x403, 100);
    Bytes tail = make_call(0x404, 40);
    tail[8] = 5;
    tail[9] = 0;
    stream.insert(stream.end(), tail.begin(), tail.begin() + 10);
    append(c, stream, 0, stream.size());
    c.ResetPackage();
    ASSERT_EQ(c.GetFill(), 10u);
    EXPECT_FALSE(c.IsDataComplete());
}

TEST(ShiftBuffer, HeaderSmallerThanItselfDropsTheStream) {
    CShiftBuffer b;
    Bytes broken = make_call(0x501, 80);
    broken[8] = 20;  // ulTotalSize 20 < 34
    testing::internal::CaptureStderr();
    append(b, broken, 0, 80);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("broken stream"), std::string::npos) << err;
    EXPECT_TRUE(b.IsHeadEmpty());
    EXPECT_FALSE(b.IsDataComplete());

    // The same when the broken header comes to the front by a shift.
    Bytes stream = make_call(0x502, 50);
    stream.insert(stream.end(), broken.begin(), broken.end());
    testing::internal::CaptureStderr();
    append(b, stream, 0, stream.size());
    ASSERT_TRUE(b.IsDataComplete());
    b.ResetPackage();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("broken stream"), std::string::npos);
    EXPECT_TRUE(b.IsHeadEmpty());
}

TEST(ShiftBuffer, EmptyOrNullAppendIsReportedAndChangesNothing) {
    CShiftBuffer b;
    Bytes p = make_call(0x601, 100);
    append(b, p, 0, 40);
    for (int length : {0, -5}) {
        testing::internal::CaptureStderr();
        b.AppendData(p.data(), length);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("(length:[" + std::to_string(length) + "] <= 0)"), std::string::npos)
            << err;
    }
    testing::internal::CaptureStderr();
    b.AppendData(nullptr, 10);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("(pbuffer:[(nil)] == NULL)"),
              std::string::npos);
    EXPECT_EQ(b.GetFill(), 40u);
}

TEST(ShiftBuffer, AppendBeyondTheCapacityDropsEverything) {
    CShiftBuffer b;
    Bytes huge = make_call(0x701, 64);
    huge[8] = huge[9] = huge[10] = huge[11] = '\xff';              // never completes
    const uint64_t room = CShiftBuffer::kAppendLimit - kHeadSize;  // 2,097,117 bytes fit
    Bytes filler(room - huge.size(), 'f');
    append(b, huge, 0, huge.size());
    testing::internal::CaptureStderr();
    b.AppendData(filler.data(), static_cast<int>(filler.size()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(b.GetFill(), room);

    testing::internal::CaptureStderr();
    b.AppendData("x", 1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("AppendData::error buffer overflow --> pos =" + std::to_string(room) +
                       " , length=1"),
              std::string::npos)
        << err;
    EXPECT_TRUE(b.IsHeadEmpty());
    EXPECT_EQ(b.GetTotalSize(), 0u);
}

TEST(ShiftBuffer, PackageLargerThanTheCapacityNeverCompletes) {
    CShiftBuffer b;
    Bytes piece(MAX_PACKAGE_TOTAL_SIZE, 'p');
    Bytes head = make_call(0x801, 64);
    const uint32_t too_big = static_cast<uint32_t>(CShiftBuffer::kCapacity) + 1;
    memcpy(head.data() + 8, &too_big, 4);
    memcpy(piece.data(), head.data(), kHeadSize);
    const int fitting = static_cast<int>((CShiftBuffer::kAppendLimit - kHeadSize) / piece.size());
    testing::internal::CaptureStderr();
    for (int i = 0; i < fitting; ++i) {
        b.AppendData(piece.data(), static_cast<int>(piece.size()));
        ASSERT_FALSE(b.IsDataComplete()) << "after piece " << i;
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    testing::internal::CaptureStderr();
    b.AppendData(piece.data(), static_cast<int>(piece.size()));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("AppendData::error buffer overflow"),
              std::string::npos);
    EXPECT_TRUE(b.IsHeadEmpty());
}

TEST(ShiftBuffer, WithoutItsBufferItStaysEmptyAndRefusesAppends) {
    struct Restore {
        ~Restore() { wrap_hooks::malloc_fn = malloc; }
    } restore;
    wrap_hooks::malloc_fn = [](size_t) -> void * { return nullptr; };
    testing::internal::CaptureStderr();
    CShiftBuffer b;
    wrap_hooks::malloc_fn = malloc;
    EXPECT_NE(testing::internal::GetCapturedStderr().find("cannot allocate"), std::string::npos);

    Bytes p = make_call(0x901, 100);
    testing::internal::CaptureStderr();
    append(b, p, 0, 100);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("100 bytes refused"), std::string::npos);
    EXPECT_TRUE(b.IsHeadEmpty());
    EXPECT_FALSE(b.IsDataComplete());
    EXPECT_EQ(b.GetTotalSize(), 0u);
    EXPECT_EQ(b.GetHeader(), nullptr);
    b.ResetPackage();
    b.ClearHeader();
    EXPECT_TRUE(b.IsHeadEmpty());
}
