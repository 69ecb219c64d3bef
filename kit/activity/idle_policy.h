#pragma once

namespace tessela {

// The auto-lock delays offered to the user and the rule for when inactivity locks everything.
struct IdlePolicy {
    // Minutes, in the order offered; 0 stands for never.
    static constexpr int choices[] = {5, 15, 30, 60, 0};
    static constexpr int defaultMinutes = 15;

    // True exactly when items are open, the delay is at least one minute and the user has been
    // idle for at least that long.
    [[nodiscard]] static bool shouldLock(double idleSeconds, int minutes, bool hasUnlockedItems);
};

}  // namespace tessela
