#pragma once

#include <filesystem>

#include "engine/engine_parts.h"
#include "journal/recovery_report.h"
#include "records/locked_item.h"

namespace tessela {

// Recovery at start-up (Locker::recover): every operation a crash interrupted is finished or
// undone from the journal and what is on disk, acting only on the names the operation itself
// makes; leftover mounts and mount folders are cleared.
class Recovery {
  public:
    explicit Recovery(const EngineParts& parts) : e_(parts) {}

    [[nodiscard]] RecoveryReport run() const noexcept;

    // Whether `url`, or anything beneath it, was modified or had its status changed after
    // `lockTime` plus one second (nanosecond resolution); an unreadable entry counts as changed.
    [[nodiscard]] static bool changedSince(const std::filesystem::path& url, Timestamp lockTime);

  private:
    const EngineParts& e_;
};

}  // namespace tessela
