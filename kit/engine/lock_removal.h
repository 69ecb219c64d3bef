#pragma once

#include <filesystem>
#include <string>

#include "activity/cancel_token.h"
#include "activity/lock_step.h"
#include "checks/tree_verifier.h"
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
    struct Removal;

    // The steps of run(), in order. check: a locked bundle of this user's, not a link to one.
    Removal check(const std::filesystem::path& url) const;
    void closeIfOpen(const Removal& removal) const;
    // The id, the hidden copy's name, the mount point and the journal entry.
    void makePlan(Removal& removal) const;
    // Mounts the image read-only and copies its content into a private hidden folder beside it;
    // returns what was copied.
    TreeVerifier::Manifest copyOut(Removal& removal, const std::string& password,
                                   const CancelToken* cancel,
                                   const CopyProgressCallback& copyProgress);
    const Folder& makeCopyFolder(Removal& removal);
    // Compares the copy with what was read, and gives a folder its own mode back.
    void verifyCopy(Removal& removal, const TreeVerifier::Manifest& copied,
                    const CancelToken* cancel);
    // Makes the copy durable and moves it to a free name beside the locked item.
    void moveIntoPlace(Removal& removal);
    // Closes the image and deletes the locked item, its record and its journal entry.
    void deleteLocked(const Removal& removal);

    const EngineParts& e_;
};

}  // namespace tessela
