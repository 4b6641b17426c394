#include <gtest/gtest.h>

#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "uni_queue.h"

namespace {

void *heap_bytes(const std::string &text) {
    void *p = malloc(text.size());
    memcpy(p, text.data(), text.size());
    return p;
}

// Takes one frame and returns its bytes, or "<null>".
std::string take(uni_queue *queue) {
    uint32_t length = 0;
    void *data = get_uni_frame(queue, &length);
    if (data == nullptr)
        return "<null>";
    std::string text(static_cast<const char *>(data), length);
    free(data);
    return text;
}

class UniQueue : public testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(queue_, nullptr); }
    void TearDown() override { destroy_uni_queue(queue_); }
    void add(const std::string &text) {
        ASSERT_EQ(add_uni_frame(queue_, heap_bytes(text), static_cast<uint32_t>(text.size())), 1);
    }
    uni_queue *queue_ = init_uni_queue();
};

}  // namespace

TEST_F(UniQueue, TakesInOrderThenReportsEmpty) {
    add("A");
    add("BB");
    add("CCC");
    EXPECT_EQ(get_uni_queue_size(queue_), 3);
    EXPECT_EQ(take(queue_), "A");
    EXPECT_EQ(take(queue_), "BB");
    EXPECT_EQ(take(queue_), "CCC");
    EXPECT_EQ(take(queue_), "<null>");
    EXPECT_EQ(queue_->count, 0);
    EXPECT_EQ(queue_->first, nullptr);
    EXPECT_EQ(queue_->last, nullptr);

    // Once drained, the next frame is both ends of the list.
    add("D");
    EXPECT_EQ(queue_->first, queue_->last);
    ASSERT_NE(queue_->first, nullptr);
    EXPECT_EQ(queue_->first->next, nullptr);
    EXPECT_EQ(take(queue_), "D");
}

TEST_F(UniQueue, EmptyOrNullTakeLeavesLengthUntouched) {
    uint32_t length = 77;
    EXPECT_EQ(get_uni_frame(queue_, &length), nullptr);
    EXPECT_EQ(get_uni_frame(nullptr, &length), nullptr);
    EXPECT_EQ(length, 77u);
}

TEST_F(UniQueue, ClearFreesEveryBuffer) {
    // Blocks above the mmap threshold show up in hblkhd while they live.
    constexpr size_t kBig = 1 << 20;
    size_t before = mallinfo2().hblkhd;
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(add_uni_frame(queue_, calloc(1, kBig), kBig), 1);
    size_t filled = mallinfo2().hblkhd;
    clear_uni_queue(queue_);
    EXPECT_EQ(get_uni_queue_size(queue_), 0);
    EXPECT_EQ(queue_->first, nullptr);
    EXPECT_EQ(queue_->last, nullptr);
    // Sanitizer allocators keep no glibc statistics; their leak check covers it.
    if (filled == before)
        GTEST_SKIP() << "mallinfo2() does not see this allocator";
    EXPECT_GE(filled - before, 5 * kBig);
    EXPECT_EQ(mallinfo2().hblkhd, before);
}

TEST(UniQueueNull, EveryFunctionRefusesANullQueue) {
    char *buffer = static_cast<char *>(malloc(4));
    memcpy(buffer, "keep", 4);
    EXPECT_EQ(add_uni_frame(nullptr, buffer, 4), 0);
    // Still the caller's: a sanitizer build would flag a freed block here.
    EXPECT_EQ(std::string(buffer, 4), "keep");
    free(buffer);

    EXPECT_EQ(get_uni_queue_size(nullptr), 0);
    EXPECT_EQ(__lock_uni_queue(nullptr), -1);
    EXPECT_EQ(quiet_lock_queue(nullptr), -1);
    EXPECT_EQ(quiet_unlock_queue(nullptr), -1);
    clear_uni_queue(nullptr);
    destroy_uni_queue(nullptr);
}

// The locking protocol as seen in the mutex trace: add locks itself, the
// consumer-side calls do not, and only the quiet pair is silent.
TEST_F(UniQueue, MutexRecordsFollowTheLockingProtocol) {
    auto mutex_records = [](auto &&body) {
        setenv("LIBINKPORT_DEBUG_MUTEX", "1", 1);
        testing::internal::CaptureStdout();
        body();
        std::string out = testing::internal::GetCapturedStdout();
        unsetenv("LIBINKPORT_DEBUG_MUTEX");
        size_t n = 0;
        for (size_t pos = out.find("&queue->mutex"); pos != std::string::npos;
             pos = out.find("&queue->mutex", pos + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(mutex_records([&] { add("x"); }), 3u);  // before lock, after lock, after unlock
    EXPECT_EQ(mutex_records([&] {
                  quiet_lock_queue(queue_);
                  get_uni_queue_size(queue_);
                  free(get_uni_frame(queue_, nullptr));
                  clear_uni_queue(queue_);
                  quiet_unlock_queue(queue_);
              }),
              0u);
    EXPECT_EQ(mutex_records([&] { EXPECT_EQ(__lock_uni_queue(queue_), 0); }), 2u);
    EXPECT_EQ(quiet_unlock_queue(queue_), 0);
}

// Several producers append while several consumers take under the quiet
// lock; every frame arrives exactly once and each producer's frames arrive
// in the order it added them.
TEST(UniQueueThreaded, ProducersAndConsumersShareOneQueue) {
    constexpr int kProducers = 3, kConsumers = 2, kPerProducer = 3000;
    constexpr int kTotal = kProducers * kPerProducer;
    uni_queue *queue = init_uni_queue();
    ASSERT_NE(queue, nullptr);

    std::atomic<int> taken{0};
    std::atomic<bool> out_of_order{false};
    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; ++p)
        threads.emplace_back([=] {
            for (int i = 0; i < kPerProducer; ++i) {
                int *item = static_cast<int *>(malloc(2 * sizeof(int)));
                item[0] = p;
                item[1] = i;
                if (add_uni_frame(queue, item, 2 * sizeof(int)) != 1)
                    free(item);
            }
        });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::vector<std::vector<int>> per_consumer(kConsumers);
    for (int c = 0; c < kConsumers; ++c)
        threads.emplace_back([&, c] {
            std::vector<int> last(kProducers, -1);
            while (taken.load() < kTotal && std::chrono::steady_clock::now() < deadline) {
                quiet_lock_queue(queue);
                uint32_t length = 0;
                int *item = static_cast<int *>(get_uni_frame(queue, &length));
                quiet_unlock_queue(queue);
                if (item == nullptr) {
                    std::this_thread::yield();
                    continue;
                }
                if (length != 2 * sizeof(int) || item[1] <= last[item[0]])
                    out_of_order = true;
                last[item[0]] = item[1];
                per_consumer[c].push_back(item[0] * kPerProducer + item[1]);
                free(item);
                ++taken;
            }
        });
    for (auto &t : threads)
        t.join();

    EXPECT_EQ(taken.load(), kTotal);
    EXPECT_FALSE(out_of_order.load());
    std::vector<int> count(kTotal, 0);
    for (const auto &ids : per_consumer)
        for (int id : ids)
            ++count[id];
    for (int id = 0; id < kTotal; ++id)
        ASSERT_EQ(count[id], 1) << "frame " << id;
    EXPECT_EQ(get_uni_queue_size(queue), 0);
    destroy_uni_queue(queue);
}
