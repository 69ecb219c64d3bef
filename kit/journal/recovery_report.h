#pragma once

#include <optional>
#include <string>

namespace tessela {

// What the user is told after recovery: a title and one paragraph.
struct RecoveryNotice {
    std::string title;
    std::string body;
    friend bool operator==(const RecoveryNotice&, const RecoveryNotice&) = default;
};

// What recovery at start-up did with the operations a crash interrupted.
struct RecoveryReport {
    int finishedLocks = 0;         // locks brought to the end
    int discardedLocks = 0;        // locks undone; the original unchanged
    int finishedRestores = 0;      // lock removals brought to the end
    int discardedRestores = 0;     // lock removals undone; the item still locked
    int detachedStale = 0;         // leftover mounts of no indexed item, detached
    int keptChangedOriginals = 0;  // finished locks whose changed original was kept
    int keptForLater = 0;          // entries left for the next start
    bool indexWasDamaged = false;
    bool journalWasDamaged = false;

    friend bool operator==(const RecoveryReport&, const RecoveryReport&) = default;

    // The text to show, or none when there is nothing to tell (detached leftovers alone are not
    // worth a word).
    [[nodiscard]] std::optional<RecoveryNotice> notice() const;
};

}  // namespace tessela
