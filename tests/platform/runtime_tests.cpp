// The worker pool, replies and serial queues.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "platform/model/dispatch_queue.h"
#include "platform/runtime/reply.h"
#include "platform/runtime/runtime.h"
#include "tests/platform/recorder.h"
#include "tests/support/scripted_fixture.h"

namespace platform {
namespace {

using testing::Gate;
using testing::Recorder;
using RuntimeTest = scripted::ScriptedPlatformTest;

TEST_F(RuntimeTest, JobsRunOnWorkersAndABlockedJobDoesNotStarveTheNext) {
    const auto caller = std::this_thread::get_id();
    EXPECT_FALSE(on_worker_thread());
    Recorder<std::string> order;
    Gate gate;
    post([&] {
        EXPECT_TRUE(on_worker_thread());
        EXPECT_NE(std::this_thread::get_id(), caller);
        EXPECT_TRUE(gate.wait());
        order.add("first");
    });
    // Runs while the first job still blocks, and releases it.
    post([&] {
        order.add("second");
        gate.open();
    });
    ASSERT_TRUE(order.wait_for(2));
    EXPECT_EQ(order.values(), (std::vector<std::string>{"second", "first"}));
}

TEST_F(RuntimeTest, WaitIdleCoversJobsPostedByJobsAndShutdownCanBeFollowedByMoreWork) {
    std::atomic<int> done{0};
    post([&] {
        post([&] {
            post([&] { ++done; });
            ++done;
        });
        ++done;
    });
    wait_idle();
    EXPECT_EQ(done.load(), 3);

    shutdown();
    Recorder<bool> after;
    post([&] { after.add(on_worker_thread()); });
    ASSERT_TRUE(after.wait_for(1));
    EXPECT_TRUE(after.values().front());
}

// Records on which kind of thread it is destroyed; a moved-from probe records nothing.
struct DestructionProbe {
    std::shared_ptr<Recorder<bool>> on_worker;
    explicit DestructionProbe(std::shared_ptr<Recorder<bool>> r) : on_worker(std::move(r)) {}
    DestructionProbe(const DestructionProbe&) = default;
    DestructionProbe(DestructionProbe&& other) noexcept : on_worker(std::move(other.on_worker)) {}
    ~DestructionProbe() {
        if (on_worker) on_worker->add(on_worker_thread());
    }
};

TEST_F(RuntimeTest, ReplyAnswersOnAWorkerEveryTimeItIsCalled) {
    Recorder<std::pair<int, bool>> answers;
    {
        Reply<int> reply([&](int v) { answers.add({v, on_worker_thread()}); }, -1);
        reply(7);
        reply(8);  // a repeated answer is delivered again, not swallowed
    }
    ASSERT_TRUE(answers.wait_for(2));
    wait_idle();
    const auto values = answers.values();
    ASSERT_EQ(values.size(), 2u);  // no fallback after an answer
    EXPECT_EQ(values[0].first + values[1].first, 15);
    EXPECT_TRUE(values[0].second && values[1].second);
}

TEST_F(RuntimeTest, UnansweredReplyDeliversItsFallbackAndHandlerDiesOnAWorker) {
    Recorder<int> answers;
    auto destroyed = std::make_shared<Recorder<bool>>();
    {
        DestructionProbe probe(destroyed);
        Reply<int> reply([&answers, probe](int v) { answers.add(v); }, -1);
        auto copy = reply;  // dropping every copy unanswered is what triggers the fallback
    }
    ASSERT_TRUE(answers.wait_for(1));
    wait_idle();
    EXPECT_EQ(answers.values(), std::vector<int>{-1});
    // Two probes existed: the local one died here, the handler's copy on a worker.
    auto threads = destroyed->values();
    std::sort(threads.begin(), threads.end());
    EXPECT_EQ(threads, (std::vector<bool>{false, true}));
}

TEST_F(RuntimeTest, SerialQueueRunsItemsInOrderOneAtATime) {
    auto queue = DispatchQueue::create("test.serial");
    EXPECT_EQ(queue->label(), "test.serial");
    constexpr int PRODUCERS = 3;
    constexpr int ITEMS = 300;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::atomic<bool> wrong_queue{false};
    Recorder<std::pair<int, int>> seen;  // (producer, index)
    std::vector<std::thread> producers;
    for (int p = 0; p < PRODUCERS; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < ITEMS; ++i) {
                queue->async([&, p, i, q = queue.get()] {
                    if (inside.fetch_add(1) != 0) overlapped = true;
                    if (DispatchQueue::current() != q) wrong_queue = true;
                    // Last: the test's locals may be gone once the last value is in.
                    inside.fetch_sub(1);
                    seen.add({p, i});
                });
            }
        });
    }
    for (auto& producer : producers) producer.join();
    ASSERT_TRUE(seen.wait_for(PRODUCERS * ITEMS));
    EXPECT_FALSE(overlapped.load());
    EXPECT_FALSE(wrong_queue.load());
    EXPECT_EQ(DispatchQueue::current(), nullptr);
    int next[PRODUCERS] = {};
    for (const auto& [p, i] : seen.values()) {
        EXPECT_EQ(i, next[p]) << "producer " << p;
        next[p] = i + 1;
    }
}

TEST_F(RuntimeTest, PendingWorkKeepsAQueueAliveAndItsLastReferenceMayGoOnItsOwnWorker) {
    Gate gate;
    Recorder<int> ran;
    {
        auto queue = DispatchQueue::create("test.lifetime");
        queue->async([&] {
            EXPECT_TRUE(gate.wait());
            ran.add(1);
        });
        // The second item holds the only reference the test had.
        DispatchQueue* raw = queue.get();
        raw->async([&, keep = std::move(queue)] { ran.add(2); });
    }
    EXPECT_EQ(live_objects(Kind::DispatchQueue), 1u);
    gate.open();
    ASSERT_TRUE(ran.wait_for(2));
    wait_idle();
    EXPECT_EQ(ran.values(), (std::vector<int>{1, 2}));
    EXPECT_EQ(live_objects(Kind::DispatchQueue), 0u);
}

}  // namespace
}  // namespace platform
