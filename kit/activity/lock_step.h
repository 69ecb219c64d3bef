#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace tessela {

// The phase a lock or a lock removal is in, for the progress display. The string form of each
// step is its name.
enum class LockStep {
    preparing,         // checks before any change is made
    downloading,       // waiting for cloud files to download
    encrypting,        // creating the encrypted image and copying content into it
    verifying,         // comparing the copy with its source
    removingOriginal,  // removing the unlocked original
    restoring,         // copying the content back out
    finishing,         // final renames and record updates
};

inline constexpr std::array<LockStep, 7> allLockSteps = {
    LockStep::preparing,        LockStep::downloading, LockStep::encrypting, LockStep::verifying,
    LockStep::removingOriginal, LockStep::restoring,   LockStep::finishing,
};

[[nodiscard]] std::string_view rawValue(LockStep step);
// The step with exactly that name, or none.
[[nodiscard]] std::optional<LockStep> lockStepFromRawValue(std::string_view name);

// Called on the operation's own thread each time it enters a step, in the order it passes them.
using ProgressCallback = std::function<void(LockStep)>;

// Bytes of content copied so far out of all there are to copy, while a lock or a lock removal
// copies. Called from the copy's threads, one call at a time: at its start, then at most every
// 100 ms, and at its end.
using CopyProgressCallback = std::function<void(std::int64_t done, std::int64_t total)>;

// Tells `progress`, when there is one, that `step` has begun.
inline void report(const ProgressCallback& progress, LockStep step) {
    if (progress) {
        progress(step);
    }
}

}  // namespace tessela
