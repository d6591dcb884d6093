#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/model/block_buffer.h"
#include "platform/model/error.h"
#include "platform/model/ref.h"
#include "tests/support/scripted_fixture.h"

namespace platform {
namespace {

using ObjectTest = scripted::ScriptedPlatformTest;

TEST_F(ObjectTest, CountsLiveObjectsPerKindAndFreesAtZero) {
    auto block = CMBlockBuffer::create(16);
    auto error = NSError::make(SCStreamErrorDomain, -1, "x");
    EXPECT_EQ(live_objects(Kind::BlockBuffer), 1u);
    EXPECT_EQ(live_objects(Kind::Error), 1u);
    EXPECT_EQ(live_objects_total(), 2u);

    block->retain();
    EXPECT_EQ(block->retain_count(), 2u);
    block->release();
    EXPECT_EQ(live_objects(Kind::BlockBuffer), 1u);
    block.reset();
    EXPECT_EQ(live_objects(Kind::BlockBuffer), 0u);
    error.reset();
    EXPECT_EQ(live_objects_total(), 0u);
}

TEST_F(ObjectTest, RefAdoptsRetainsCopiesMovesAndLeaks) {
    CMBlockBuffer* raw = CMBlockBuffer::create(4).leak();
    {
        auto retained = Ref<CMBlockBuffer>::retain(raw);
        auto copy = retained;
        EXPECT_EQ(raw->retain_count(), 3u);
        auto moved = std::move(copy);
        EXPECT_FALSE(copy);
        EXPECT_EQ(raw->retain_count(), 3u);
        EXPECT_EQ(moved.leak(), raw);
        raw->release();
    }
    EXPECT_EQ(raw->retain_count(), 1u);
    auto adopted = Ref<CMBlockBuffer>::adopt(raw);
    EXPECT_EQ(raw->retain_count(), 1u);
    EXPECT_TRUE(raw->try_retain());
    raw->release();
}

TEST_F(ObjectTest, ConcurrentRetainAndReleaseFreeExactlyOnce) {
    auto block = CMBlockBuffer::create(8);
    CMBlockBuffer* raw = block.get();
    constexpr int THREADS = 4;
    constexpr int ROUNDS = 20000;
    // Each thread owns one extra reference and gives it back at its end.
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        raw->retain();
        threads.emplace_back([raw] {
            for (int i = 0; i < ROUNDS; ++i) {
                raw->retain();
                raw->release();
            }
            raw->release();
        });
    }
    block.reset();  // the last reference may now go on any of the threads
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(live_objects(Kind::BlockBuffer), 0u);
}

}  // namespace
}  // namespace platform
