// Payload pool alone: its size classes, its bound, blocks given back on one
// thread and taken on another, and a use after the give caught by ASan.
#include <gtest/gtest.h>

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "routing/payload_pool.h"

namespace {

// Gives back what the calling thread took and parked; the pool then counts
// what is parked on the return stacks alone.
size_t ParkedAfterThread(size_t blocks, size_t length)
{
    std::thread([&] {
        std::vector<void*> taken;
        for (size_t i = 0; i < blocks; ++i)
            taken.push_back(PayloadPool::take(length));
        for (void* block : taken)
            PayloadPool::give(block);
    }).join();
    return PayloadPool::TEST_parkedBytes();
}

}  // namespace

TEST(PayloadPoolClasses, EveryLengthGetsTheSmallestClassThatHoldsIt)
{
    EXPECT_EQ(0, PayloadPool::classFor(1));
    EXPECT_EQ(0, PayloadPool::classFor(64));
    EXPECT_EQ(1, PayloadPool::classFor(65));
    EXPECT_EQ(65536u, PayloadPool::classSize(PayloadPool::classFor(65536)));
    EXPECT_EQ(81920u, PayloadPool::classSize(PayloadPool::classFor(65537)));
    EXPECT_EQ(PayloadPool::kClasses - 1, PayloadPool::classFor(PayloadPool::kLargest));
    EXPECT_EQ(-1, PayloadPool::classFor(PayloadPool::kLargest + 1));
    for (size_t length = 1; length <= PayloadPool::kLargest; length += length / 7 + 1) {
        const int sizeClass = PayloadPool::classFor(length);
        ASSERT_GE(PayloadPool::classSize(sizeClass), length) << length;
        if (sizeClass > 0) {
            ASSERT_LT(PayloadPool::classSize(sizeClass - 1), length) << length;
        }
        // Less than a quarter wasted above the smallest class.
        ASSERT_LT(PayloadPool::classSize(sizeClass), length < 64 ? 65 : length + length / 4 + 1) << length;
    }
}

TEST(PayloadPoolClasses, AGivenBlockServesTheLargestClassItHolds)
{
    EXPECT_EQ(-1, PayloadPool::classServedBy(63));
    EXPECT_EQ(0, PayloadPool::classServedBy(64));
    EXPECT_EQ(0, PayloadPool::classServedBy(79));
    EXPECT_EQ(1, PayloadPool::classServedBy(80));
    for (int sizeClass = 0; sizeClass < PayloadPool::kClasses; ++sizeClass)
        ASSERT_EQ(sizeClass, PayloadPool::classServedBy(PayloadPool::classSize(sizeClass)));
    EXPECT_EQ(PayloadPool::kClasses - 1, PayloadPool::classServedBy(PayloadPool::kLargest * 5 / 4 - 1));
    EXPECT_EQ(-1, PayloadPool::classServedBy(PayloadPool::kLargest * 5 / 4));
}

// Each test uses classes of its own: blocks of other tests stay parked.
TEST(PayloadPool, ABlockGivenBackIsTakenByTheNextTakeOfItsClassOnAnyThread)
{
    constexpr size_t kLength = 700000;
    const size_t size = PayloadPool::classSize(PayloadPool::classFor(kLength));
    const size_t before = PayloadPool::TEST_parkedBytes();
    void* block = PayloadPool::take(kLength);
    ASSERT_NE(nullptr, block);
    PayloadPool::give(block);
    EXPECT_EQ(before + size, PayloadPool::TEST_parkedBytes());
    std::thread([&] {
        void* other = PayloadPool::take(kLength / 2);
        EXPECT_NE(block, other);
        std::free(other);
        void* again = PayloadPool::take(kLength - 1000);
        EXPECT_EQ(block, again);
        std::memset(again, 1, kLength - 1000);
        PayloadPool::give(again);
    }).join();
    EXPECT_EQ(before + size, PayloadPool::TEST_parkedBytes());
    std::thread([&] { std::free(PayloadPool::take(kLength)); }).join();
    EXPECT_EQ(before, PayloadPool::TEST_parkedBytes());
}

TEST(PayloadPool, BlocksOutsideTheClassesOrBeyondTheBoundAreFreed)
{
    const size_t before = PayloadPool::TEST_parkedBytes();
    void* large = PayloadPool::take(PayloadPool::kLargest * 2);
    ASSERT_NE(nullptr, large);
    PayloadPool::give(large);
    void* foreign = std::malloc(10);
    PayloadPool::give(foreign);
    PayloadPool::give(nullptr);
    EXPECT_EQ(before, PayloadPool::TEST_parkedBytes());

    // Twice the bound's worth given back: the bound is kept, and the blocks
    // beyond it went back to malloc.
    const size_t blocks = 2 * PayloadPool::kParkedLimit / PayloadPool::kLargest;
    const size_t parked = ParkedAfterThread(blocks, PayloadPool::kLargest);
    EXPECT_LE(parked, PayloadPool::kParkedLimit);
    EXPECT_GE(parked, PayloadPool::kParkedLimit - PayloadPool::kLargest);
    // Taken back by a thread that ends: the memory falls.
    std::thread([&] {
        for (size_t i = 0; i < blocks; ++i)
            PayloadPool::give(PayloadPool::take(PayloadPool::kLargest));
        for (size_t i = 0; i < blocks; ++i)
            std::free(PayloadPool::take(PayloadPool::kLargest));
    }).join();
    EXPECT_EQ(before, PayloadPool::TEST_parkedBytes());
}

// Under TSan: a block written on one thread, given back on another and taken
// again by the first is ordered by the pool, and no block is handed out twice.
TEST(PayloadPool, BlocksGivenBackOnAnotherThreadAreTakenIntactAndOnce)
{
    constexpr int kMessages = 20000;
    constexpr size_t kLength = 1000;
    std::atomic<void*> slots[64] = {};
    std::atomic<int> errors{0};
    std::thread receiver([&] {
        for (int i = 0; i < kMessages; ++i) {
            std::atomic<void*>& slot = slots[i % 64];
            void* block;
            while (!(block = slot.exchange(nullptr, std::memory_order_acquire)))
                std::this_thread::yield();
            const unsigned char* bytes = static_cast<const unsigned char*>(block);
            if (bytes[0] != static_cast<unsigned char>(i) || bytes[kLength - 1] != static_cast<unsigned char>(i))
                ++errors;
            std::memset(block, 0xee, kLength);
            PayloadPool::give(block);
        }
    });
    for (int i = 0; i < kMessages; ++i) {
        void* block = PayloadPool::take(kLength);
        ASSERT_NE(nullptr, block);
        std::memset(block, i & 0xff, kLength);
        std::atomic<void*>& slot = slots[i % 64];
        while (slot.load(std::memory_order_relaxed))
            std::this_thread::yield();
        slot.store(block, std::memory_order_release);
    }
    receiver.join();
    EXPECT_EQ(0, errors.load());
}

#ifdef __SANITIZE_ADDRESS__
TEST(PayloadPoolDeathTest, AUseAfterTheGiveOrPastTheLengthIsReported)
{
    EXPECT_DEATH(
        {
            char* block = static_cast<char*>(PayloadPool::take(100));
            PayloadPool::give(block);
            static_cast<volatile char*>(block)[50] = 1;
        },
        "use-after-poison");
    EXPECT_DEATH(
        {
            char* block = static_cast<char*>(PayloadPool::take(100));
            (void)static_cast<volatile char*>(block)[100];
        },
        "use-after-poison");
}
#endif
