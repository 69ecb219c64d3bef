#pragma once

#include <filesystem>
#include <string>

#include "activity/cancel_token.h"
#include "activity/lock_step.h"
#include "engine/engine_parts.h"

namespace tessela {

// One lock removal (Locker::removeLock): the content copied out beside the locked item into a
// private hidden folder, verified, moved into place under a name that overwrites nothing, made
// durable, and only then the locked item deleted.
class LockRemoval {
  public:
    explicit LockRemoval(const EngineParts& parts) : e_(parts) {}

    std::filesystem::path run(const std::filesystem::path& url, const std::string& password,
                              const CancelToken* cancel, const ProgressCallback& progress,
                              const CopyProgressCallback& copyProgress);

  private:
    const EngineParts& e_;
};

}  // namespace tessela
