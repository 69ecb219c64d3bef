#include "activity/idle_policy.h"

#include <gtest/gtest.h>

#include <iterator>
#include <vector>

namespace tessela {
namespace {

TEST(IdlePolicyTest, LocksOnlyWhenItemsAreOpenAndDelayHasPassed) {
    EXPECT_FALSE(IdlePolicy::shouldLock(899.9, 15, true));
    EXPECT_TRUE(IdlePolicy::shouldLock(900.0, 15, true));
    EXPECT_FALSE(IdlePolicy::shouldLock(100000.0, 15, false));
    EXPECT_FALSE(IdlePolicy::shouldLock(100000.0, 0, true));
    EXPECT_FALSE(IdlePolicy::shouldLock(100000.0, -5, true));
    EXPECT_EQ(std::vector<int>(std::begin(IdlePolicy::choices), std::end(IdlePolicy::choices)),
              (std::vector<int>{5, 15, 30, 60, 0}));
    EXPECT_EQ(IdlePolicy::defaultMinutes, 15);
}

}  // namespace
}  // namespace tessela
