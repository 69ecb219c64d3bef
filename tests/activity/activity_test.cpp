#include "activity/activity.h"

#include <gtest/gtest.h>

#include <thread>

#include "activity/cancel_token.h"
#include "activity/lock_step.h"
#include "activity/parallel_work.h"
#include "errors/tessela_error.h"

namespace tessela {
namespace {

using Strings = std::vector<std::string>;

TEST(ActivityTest, RunningOperationsKeepTheOrderTheyBegan) {
    Activity activity;
    EXPECT_TRUE(activity.isIdle());
    const Uuid first = activity.begin("locking Taxes");
    const Uuid second = activity.begin("locking Photos");
    const Uuid third = activity.begin("locking Photos");
    EXPECT_EQ(activity.descriptions(),
              (Strings{"locking Taxes", "locking Photos", "locking Photos"}));
    activity.end(second);
    EXPECT_EQ(activity.descriptions(), (Strings{"locking Taxes", "locking Photos"}));
    activity.end(Uuid::random());
    EXPECT_EQ(activity.running().size(), 2U);
    activity.end(first);
    activity.end(third);
    EXPECT_TRUE(activity.isIdle());
}

TEST(ActivityTest, PasswordChangeRefusalDependsOnWorkAndQuitting) {
    Activity activity;
    EXPECT_EQ(activity.passwordChangeRefusal(), std::nullopt);
    activity.beginQuitting();
    EXPECT_FALSE(activity.acceptsNewWork());
    EXPECT_EQ(activity.passwordChangeRefusal(), Activity::quittingRefusal);
    activity.begin("finishing interrupted work");
    EXPECT_EQ(activity.passwordChangeRefusal(),
              "Wait until Tessela finishes finishing interrupted work, then try again.");
    activity.cancelQuitting();
    EXPECT_TRUE(activity.acceptsNewWork());
    EXPECT_FALSE(activity.isQuitting());
}

TEST(ActivityTest, SentencesJoinDescriptions) {
    EXPECT_EQ(Activity::passwordChangeRefusal({}), "Wait until Tessela finishes, then try again.");
    EXPECT_EQ(Activity::passwordChangeRefusal({"a", "b", "c"}),
              "Wait until Tessela finishes a, b and c, then try again.");
    EXPECT_EQ(Activity::quitQuestion({}), "Tessela is still working. Quit when it finishes?");
    EXPECT_EQ(Activity::quitQuestion({"locking Taxes"}),
              "Tessela is still locking Taxes. Quit when it finishes?");
    EXPECT_EQ(Activity::quitQuestion({"locking A", "unlocking B"}),
              "Tessela is still locking A and unlocking B. Quit when it finishes?");
}

TEST(CancelTokenTest, CheckThrowsEveryTimeOnceCancelled) {
    CancelToken token;
    EXPECT_NO_THROW(token.check());
    EXPECT_FALSE(token.isCancelled());
    token.cancel();
    for (int attempt = 0; attempt < 3; ++attempt) {
        try {
            token.check();
            FAIL() << "check() returned after cancel()";
        } catch (const TesselaError& error) {
            EXPECT_EQ(error, TesselaError::cancelled());
        }
    }
}

TEST(CancelTokenTest, CancellationFromAnotherThreadIsSeenByPolling) {
    CancelToken token;
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        token.cancel();
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!token.isCancelled() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    canceller.join();
    EXPECT_THROW(token.check(), TesselaError);
}

// A system out of threads refuses a helper after others started: the work is still done by the
// threads that run, and the call returns normally instead of ending the program.
TEST(ParallelWorkTest, HelperThatCannotStartLeavesItsShareToTheOthers) {
    int started = 0;
    const ThreadStarter failingAfterOne = [&](std::function<void()> stream) {
        if (++started > 1) {
            throw std::system_error(EAGAIN, std::generic_category(), "thread");
        }
        return std::thread(std::move(stream));
    };
    std::vector<std::atomic<int>> done(100);
    forEachInParallel(
        done.size(), 4, [&](std::size_t index) { ++done[index]; }, failingAfterOne);
    EXPECT_EQ(started, 2);
    for (const std::atomic<int>& count : done) {
        EXPECT_EQ(count, 1);
    }
}

TEST(LockStepTest, ConstructsOnlyFromExactNames) {
    for (const LockStep step : allLockSteps) {
        EXPECT_EQ(lockStepFromRawValue(rawValue(step)), step);
    }
    EXPECT_EQ(lockStepFromRawValue("removingOriginal"), LockStep::removingOriginal);
    EXPECT_EQ(lockStepFromRawValue("removing Original"), std::nullopt);
    EXPECT_EQ(lockStepFromRawValue("Preparing"), std::nullopt);
    EXPECT_EQ(static_cast<int>(LockStep::finishing), 6);
}

}  // namespace
}  // namespace tessela
