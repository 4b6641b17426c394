#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "cpackage.h"
#include "cpackqueue.h"

namespace {

CPackage *package_with_id(uint32_t message_id) {
    auto *package = new CPackage();
    package->GetHeader()->ulMessageID = message_id;
    return package;
}

class PackageQueue : public ::testing::Test {
  protected:
    void TearDown() override { CPackageQueue::Release(); }
};

TEST_F(PackageQueue, EmptyQueueHasNoFrontAndPopChangesNothing) {
    CPackageQueue *queue = CPackageQueue::GetInstance();
    ASSERT_NE(queue, nullptr);
    EXPECT_EQ(queue->Front(), nullptr);
    queue->Pop();
    EXPECT_EQ(queue->Front(), nullptr);
    EXPECT_EQ(queue->Size(), 0u);
}

TEST_F(PackageQueue, FrontStaysUntilPoppedAndOrderIsKept) {
    CPackageQueue *queue = CPackageQueue::GetInstance();
    CPackage *first = package_with_id(1);
    CPackage *second = package_with_id(2);
    queue->Push(first);
    queue->Push(second);
    // A failed write leaves the package at the front: Front alone does not remove.
    EXPECT_EQ(queue->Front(), first);
    EXPECT_EQ(queue->Front(), first);
    queue->Pop();
    delete first;
    EXPECT_EQ(queue->Front(), second);
    queue->Pop();
    delete second;
    EXPECT_EQ(queue->Front(), nullptr);
}

TEST_F(PackageQueue, ReleaseDestroysQueuedPackagesAndGetInstanceStartsEmpty) {
    CPackageQueue *queue = CPackageQueue::GetInstance();
    EXPECT_EQ(CPackageQueue::GetInstance(), queue);
    for (uint32_t id = 0; id < 5; id++)
        queue->Push(package_with_id(id));
    // The sanitizer run reports the five packages if Release leaks them.
    CPackageQueue::Release();
    EXPECT_EQ(CPackageQueue::theInstance.load(), nullptr);
    CPackageQueue *fresh = CPackageQueue::GetInstance();
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->Front(), nullptr);
    EXPECT_EQ(fresh->Size(), 0u);
}

TEST_F(PackageQueue, PushesFromSeveralThreadsKeepEachThreadsOrder) {
    CPackageQueue *queue = CPackageQueue::GetInstance();
    constexpr uint32_t kThreads = 4;
    constexpr uint32_t kPerThread = 500;
    std::vector<std::thread> producers;
    for (uint32_t t = 0; t < kThreads; t++)
        producers.emplace_back([queue, t] {
            for (uint32_t i = 0; i < kPerThread; i++)
                queue->Push(package_with_id(t << 16 | i));
        });
    // The single consumer drains while the producers push.
    std::vector<uint32_t> next(kThreads, 0);
    uint32_t popped = 0;
    while (popped < kThreads * kPerThread) {
        CPackage *package = queue->Front();
        if (package == nullptr) {
            std::this_thread::yield();
            continue;
        }
        uint32_t id = package->GetMessageID();
        queue->Pop();
        delete package;
        uint32_t t = id >> 16;
        ASSERT_LT(t, kThreads);
        EXPECT_EQ(id & 0xFFFF, next[t]) << "thread " << t;
        next[t] = (id & 0xFFFF) + 1;
        popped++;
    }
    for (auto &producer : producers)
        producer.join();
    EXPECT_EQ(queue->Front(), nullptr);
}

}  // namespace
