#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "activity/cancel_token.h"
#include "activity/lock_step.h"
#include "checks/tree_verifier.h"
#include "engine/engine_parts.h"
#include "files/folder.h"
#include "files/metadata_snapshot.h"
#include "journal/journal_entry.h"
#include "records/locked_item.h"

namespace tessela {

// One lock (Locker::lock): checks, the image built and verified beside the item, put in place,
// and the original removed, with the journal ahead of every change.
class LockOperation {
  public:
    explicit LockOperation(const EngineParts& parts) : e_(parts) {}

    LockedItem run(const std::filesystem::path& url, const std::string& password,
                   std::int64_t generation, const CancelToken* cancel,
                   const ProgressCallback& progress, const CopyProgressCallback& copyProgress);
    // The lock's first checks, which walk nothing: the path's length and the location rules.
    // Throws what the lock would; changes nothing. Returns what it found out about the item.
    ItemFacts checkLocation(const std::filesystem::path& url) const;

  private:
    struct Plan;

    // The steps of run(), in order. check: every refusal, before anything changes on disk.
    Plan check(const std::filesystem::path& url, const CancelToken* cancel,
               const ProgressCallback& progress) const;
    // The item's kind and identity, the id, the hidden and final names, the journal entry.
    void makePlan(Plan& plan) const;
    // Creates the image beside the item and copies the item into it; returns what was copied.
    TreeVerifier::Manifest buildImage(Plan& plan, const std::string& password,
                                      const CancelToken* cancel,
                                      const CopyProgressCallback& copyProgress);
    // Compares the image, mounted read-only, with what was copied; refuses an item that
    // changed or has a writer meanwhile.
    void verifyImage(const Plan& plan, const std::string& password,
                     const TreeVerifier::Manifest& copied, const CancelToken* cancel);
    // Makes the image durable and renames it to the locked item's name.
    void putInPlace(Plan& plan);
    // Records the placed item (stage: original pending); returns the record.
    LockedItem recordPlaced(Plan& plan, std::int64_t generation);
    // Marks the record complete and lets go of the journal entry.
    void markComplete(const Plan& plan, LockedItem& record);

    // The lock's last steps, once the locked item is in place: removes the original. Throws what
    // Locker::lock reports from there on.
    void removeOriginal(const Folder& parent, const std::string& name, const std::string& locked,
                        JournalEntry& entry, const MetadataSnapshot& before,
                        const Folder::Identity& original);
    // Takes back a lock whose item is already in place, when the original turned out to be in
    // use or changed at the last moment: the original stays (it holds the newest content), and
    // the locked copy, its record and the journal entry go, in an order recovery can finish.
    // False when a step failed (recovery then finishes the lock, keeping the original).
    bool undoPlacedLock(const Folder& parent, const std::string& locked, JournalEntry& entry);

    const EngineParts& e_;
};

}  // namespace tessela
