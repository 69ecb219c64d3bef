#include "activity/lock_step.h"

namespace tessela {

namespace {

constexpr std::array<std::string_view, allLockSteps.size()> stepNames = {
    "preparing",        "downloading", "encrypting", "verifying",
    "removingOriginal", "restoring",   "finishing",
};

}  // namespace

std::string_view rawValue(LockStep step) {
    return stepNames.at(static_cast<std::size_t>(step));
}

std::optional<LockStep> lockStepFromRawValue(std::string_view name) {
    for (const LockStep step : allLockSteps) {
        if (rawValue(step) == name) {
            return step;
        }
    }
    return std::nullopt;
}

}  // namespace tessela
