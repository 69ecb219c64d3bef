#include "activity/idle_policy.h"

namespace tessela {

bool IdlePolicy::shouldLock(double idleSeconds, int minutes, bool hasUnlockedItems) {
    return hasUnlockedItems && minutes >= 1 && idleSeconds >= minutes * 60.0;
}

}  // namespace tessela
