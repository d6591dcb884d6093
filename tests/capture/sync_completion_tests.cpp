#include "capture/sync_completion.h"

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/capture/stderr_redirect.h"

namespace {

using capture::SyncCompletion;
using capture_test::StderrCapture;

// A result value whose every copy is visible through the use count of one shared cell, so
// a test can tell that discarded results were really given back.
using Tracked = std::shared_ptr<int>;
using TrackedCompletion = SyncCompletion<Tracked>;

const std::string DUPLICATE_LINE(capture::DUPLICATE_COMPLETION_LINE);

TEST(SyncCompletion, ResultStoredBeforeWaitIsFoundAtOnce) {
    auto [waiter, user_data] = SyncCompletion<std::string>::create();
    SyncCompletion<std::string>::complete_with_result(user_data, std::string("early"));
    auto result = std::move(waiter).wait();
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, "early");
}

TEST(SyncCompletion, CompletionDuringWaitWakesTheWaiter) {
    auto [waiter, user_data] = SyncCompletion<std::string>::create();
    std::thread platform([user_data = user_data] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        SyncCompletion<std::string>::complete_with_result(user_data,
                                                          std::unexpected(std::string("late")));
    });
    auto result = std::move(waiter).wait();
    platform.join();
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), "late");
}

TEST(SyncCompletion, DuplicateCompletionPrintsOnceAndChangesNothing) {
    const auto cell = std::make_shared<int>(7);
    StderrCapture err;
    {
        auto [waiter, user_data] = TrackedCompletion::create();
        TrackedCompletion::complete_with_result(user_data, cell);
        TrackedCompletion::complete_with_result(user_data, std::make_shared<int>(8));
        auto result = std::move(waiter).wait();
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(*result, cell);
        EXPECT_EQ(cell.use_count(), 2);
    }
    EXPECT_EQ(err.text(), DUPLICATE_LINE);
    EXPECT_EQ(cell.use_count(), 1) << "a discarded or stored result was kept";
}

TEST(SyncCompletion, DuplicateAfterTheWaiterHasGoneIsHarmless) {
    void* stale = nullptr;
    {
        auto [waiter, user_data] = SyncCompletion<int>::create();
        stale = user_data;
        SyncCompletion<int>::complete_with_result(user_data, 1);
        EXPECT_EQ(std::move(waiter).wait().value(), 1);
    }
    // The record is gone; a late duplicate must not touch it, nor land in a newer cell.
    auto [next_waiter, next_user_data] = SyncCompletion<int>::create();
    StderrCapture err;
    SyncCompletion<int>::complete_with_result(stale, 2);
    EXPECT_EQ(err.text(), DUPLICATE_LINE);
    SyncCompletion<int>::complete_with_result(next_user_data, 3);
    EXPECT_EQ(std::move(next_waiter).wait().value(), 3);
}

TEST(SyncCompletion, NullUserDataDiscardsTheResultSilently) {
    const auto cell = std::make_shared<int>(1);
    StderrCapture err;
    TrackedCompletion::complete_with_result(nullptr, cell);
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(cell.use_count(), 1);
}

TEST(SyncCompletion, StoredSuccessIsReleasedWhenNobodyWaits) {
    const auto cell = std::make_shared<int>(1);
    {
        auto [waiter, user_data] = TrackedCompletion::create();
        TrackedCompletion::complete_with_result(user_data, cell);
        EXPECT_EQ(cell.use_count(), 2);
    }  // waiter dropped without waiting: the record and its stored result go
    EXPECT_EQ(cell.use_count(), 1);

    void* late = nullptr;
    {
        auto [waiter, user_data] = TrackedCompletion::create();
        late = user_data;
    }
    TrackedCompletion::complete_with_result(late, cell);  // the completion drops the last ref
    EXPECT_EQ(cell.use_count(), 1);
}

TEST(SyncCompletion, UnitCallbackTranslatesFlagAndText) {
    using Unit = SyncCompletion<void>;
    struct Case {
        bool success;
        const char* text;
        std::string expected_error;  // empty for success
    };
    const std::string long_text(200000, 'z');
    const std::vector<Case> cases = {
        {true, nullptr, ""},
        {true, "ignored on success", ""},
        {false, "Stream error: it broke", "Stream error: it broke"},
        {false, nullptr, "Unknown error"},
        {false, "bad \xC3\x28 bytes", "Unknown error"},
        {false, long_text.c_str(), long_text},
    };
    for (const Case& c : cases) {
        auto [waiter, user_data] = Unit::create();
        Unit::callback(user_data, c.success, c.text);
        auto result = std::move(waiter).wait();
        if (c.expected_error.empty()) {
            EXPECT_TRUE(result.has_value());
        } else {
            ASSERT_FALSE(result.has_value());
            EXPECT_EQ(result.error(), c.expected_error);
        }
    }
    StderrCapture err;
    Unit::callback(nullptr, false, "nobody waits");
    EXPECT_EQ(err.text(), "");
}

TEST(SyncCompletion, RacingCompletionsStoreExactlyOne) {
    constexpr int RACERS = 8;
    for (int round = 0; round < 20; ++round) {
        auto [waiter, user_data] = SyncCompletion<int>::create();
        StderrCapture err;
        std::vector<std::thread> racers;
        for (int i = 0; i < RACERS; ++i) {
            racers.emplace_back([user_data = user_data, i] {
                SyncCompletion<int>::complete_with_result(user_data, i);
            });
        }
        const auto result = std::move(waiter).wait();
        for (auto& t : racers) t.join();
        ASSERT_TRUE(result.has_value());
        EXPECT_GE(*result, 0);
        EXPECT_LT(*result, RACERS);
        std::string expected;
        for (int i = 1; i < RACERS; ++i) expected += DUPLICATE_LINE;
        EXPECT_EQ(err.text(), expected);
    }
}

}  // namespace
