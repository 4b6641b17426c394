// The package header as bytes, and CPackage's bounds.
#include <gtest/gtest.h>

#include <string>

#include "bridge_test_util.h"
#include "cpackage.h"

using bridge_test::Bytes;

TEST(PackageHeader, FieldsLieLittleEndianAtTheirOffsets) {
    PackHead head = {};
    head.uType = 0x0102;
    head.uVersion = kPackageVersion;
    head.ulMessageID = 0x11223344;
    head.ulTotalSize = 256;
    head.ulLength = 0x0A0B0C0D;
    head.uPackageID = 0xBEEF;
    memcpy(head.reserved1, "\x01\x02\x03\x04", 4);
    head.ulArrivalTime = 0x55667788;
    head.ulSendTime = 0x99AABBCC;
    memcpy(head.reserved2, "\x05\x06\x07\x08", 4);

    const unsigned char expected[34] = {
        0x02, 0x01, 0x11, 0x27, 0x44, 0x33, 0x22, 0x11, 0x00, 0x01, 0x00, 0x00,
        0x0D, 0x0C, 0x0B, 0x0A, 0xEF, 0xBE, 0x01, 0x02, 0x03, 0x04, 0x88, 0x77,
        0x66, 0x55, 0xCC, 0xBB, 0xAA, 0x99, 0x05, 0x06, 0x07, 0x08,
    };
    ASSERT_EQ(sizeof head, sizeof expected);
    EXPECT_EQ(memcmp(&head, expected, sizeof expected), 0);
    EXPECT_EQ(header_total_size(expected), 256u);
    EXPECT_EQ(header_message_id(expected), 0x11223344u);
}

TEST(Package, FreshPackageReadsZero) {
    CPackage p;
    EXPECT_EQ(p.GetType(), 0);
    EXPECT_EQ(p.GetVersion(), 0);
    EXPECT_EQ(p.GetMessageID(), 0u);
    EXPECT_EQ(p.GetTotalSize(), 0u);
    EXPECT_EQ(p.GetPackageID(), 0);
    EXPECT_EQ(p.GetPointerToData(), p.GetPointerAtPos(kHeadSize));
    EXPECT_EQ(reinterpret_cast<char *>(p.GetHeader()), p.GetPointerAtPos(0));
}

TEST(Package, FunctionIdIsTheLowByteOfTheMessageId) {
    CPackage p;
    p.GetHeader()->ulMessageID = 0x1234;
    EXPECT_EQ(p.GetFunctionID(), 0x34);
    EXPECT_EQ(p.GetMessageID(), 0x1234u);
}

TEST(Package, OverWriteAcceptsUpTo2009BytesAndRefuses2010) {
    Bytes agent = bridge_test::make_call(0x77, 2009);
    CPackage p;
    testing::internal::CaptureStderr();
    p.OverWrite(0, agent.data(), 2009);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(p.GetTotalSize(), 2009u);
    EXPECT_EQ(p.GetDataSize(), 2009u - kHeadSize);
    EXPECT_EQ(memcmp(p.GetPointerAtPos(0), agent.data(), 2009), 0);

    agent = bridge_test::make_call(0x78, 2010);
    testing::internal::CaptureStderr();
    p.OverWrite(0, agent.data(), 2010);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("error buffer overflow, length:[2010] >= MAX_PACKAGE_DATA_SIZE - pos"),
              std::string::npos)
        << err;
    // The header is cleared: a caller that sends anyway sends nothing sized.
    EXPECT_EQ(p.GetTotalSize(), 0u);
    EXPECT_EQ(p.GetMessageID(), 0u);

    // The bound counts the position as well.
    CPackage q;
    testing::internal::CaptureStderr();
    q.OverWrite(kHeadSize, agent.data(), 2009 - kHeadSize);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    q.GetHeader()->ulTotalSize = 99;
    testing::internal::CaptureStderr();
    q.OverWrite(kHeadSize, agent.data(), 2010 - kHeadSize);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("MAX_PACKAGE_DATA_SIZE"),
              std::string::npos);
    EXPECT_EQ(q.GetTotalSize(), 0u);
}

TEST(Package, SetDataAcceptsUpTo2009BytesAndRefuses2010) {
    Bytes data(2010, 'd');
    CPackage p;
    p.GetHeader()->ulTotalSize = 77;
    testing::internal::CaptureStderr();
    p.SetData(data.data(), 2009);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    // The data lands behind the header; the header stays as it was.
    EXPECT_EQ(p.GetTotalSize(), 77u);
    EXPECT_EQ(memcmp(p.GetPointerToData(), data.data(), 2009), 0);

    testing::internal::CaptureStderr();
    p.SetData(data.data(), 2010);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("error buffer overflow, length:[2010] + headSize >= MAX_PACKAGE_TOTAL_SIZE"),
              std::string::npos)
        << err;
    EXPECT_EQ(p.GetTotalSize(), 0u);
}

TEST(Package, EmptyOrNullInputIsReportedAndChangesNothing) {
    CPackage p;
    p.GetHeader()->ulTotalSize = 50;
    p.GetPointerToData()[0] = 'x';
    const char data[4] = {'a', 'b', 'c', 'd'};
    struct Case {
        const char *data;
        int length;
    } cases[] = {{data, 0}, {data, -1}, {nullptr, 4}};
    for (const Case &c : cases) {
        testing::internal::CaptureStderr();
        p.SetData(c.data, c.length);
        p.OverWrite(0, c.data, c.length);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("(length:[" + std::to_string(c.length) + "] <= 0) || (pbuffer:["),
                  std::string::npos)
            << err;
        EXPECT_EQ(p.GetTotalSize(), 50u);
        EXPECT_EQ(p.GetPointerToData()[0], 'x');
    }
}

TEST(TimeStamp, MillisecondsOfTheWallClockWrapAt32Bits) {
    EXPECT_EQ(timestamp_of({4294967, 296000}), 0u);
    EXPECT_EQ(timestamp_of({4294967, 295999}), 0xFFFFFFFFu);
    EXPECT_EQ(timestamp_of({1, 5999}), 1005u);

    struct timeval before;
    struct timeval after;
    gettimeofday(&before, nullptr);
    uint32_t now = GetTimeStamp();
    gettimeofday(&after, nullptr);
    // Differences in unsigned 32-bit arithmetic hold across a wrap as well.
    EXPECT_LE(now - timestamp_of(before), timestamp_of(after) - timestamp_of(before));
}
