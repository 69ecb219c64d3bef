#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "errors/lock_refusal.h"
#include "errors/tree_mismatch.h"

namespace tessela {

// The one error that the core library throws for everything a user can run into. Each case
// carries a finished sentence (`errorDescription`) that the application shows unchanged. The
// error is a value: it owns its strings and lists, and may be copied between threads freely.
class TesselaError : public std::exception {
  public:
    // Declaration order is the numbering used when cases are stored or compared. Some names
    // come from the design's first platform: stillInICloud is a cloud file not yet downloaded
    // (none exist here); an AppleDouble file is one whose name begins with "._"; finderLocked
    // is the immutable or append-only attribute, or an ACL that denies deletion.
    enum class Case {
        notEnoughSpace,
        inUse,
        diskImage,
        copyFailed,
        verificationFailed,
        restoreVerificationFailed,
        refused,
        lockedButOriginalRemains,
        lockedButRemovalUnfinished,
        stillInICloud,
        containsUnlockedItem,
        containsMountedDisk,
        containsAppleDouble,
        finderLocked,
        containsFinderLocked,
        hardLinked,
        wrongPassword,
        notLocked,
        notFound,
        cancelled,
        needsAllLocked,
        changedWhileLocking,
        // Added after the first 22; earlier numbers never change.
        containsReservedName,
        originalNotRemovable,
        pathTooLong,
    };
    static constexpr int caseCount = 25;

    struct SpaceShortfall {
        std::int64_t needed = 0;
        std::int64_t available = 0;
        friend bool operator==(const SpaceShortfall&, const SpaceShortfall&) = default;
    };

    // An item and a file at its top.
    struct NamedFile {
        std::string name;
        std::string file;
        friend bool operator==(const NamedFile&, const NamedFile&) = default;
    };

    // The payload of each case: none, a shortfall, app names, a text or an item's display name,
    // mismatches, a refusal, or an item with a file in it. Which alternative a case holds is
    // fixed by the case.
    using Payload = std::variant<std::monostate, SpaceShortfall, std::vector<std::string>,
                                 std::string, std::vector<TreeMismatch>, LockRefusal, NamedFile>;

    // The short form shown instead of a failure when the item did get locked.
    struct LockedNotice {
        std::string title;
        std::string message;
        friend bool operator==(const LockedNotice&, const LockedNotice&) = default;
    };

    static TesselaError notEnoughSpace(std::int64_t needed, std::int64_t available);
    static TesselaError inUse(std::vector<std::string> apps);
    static TesselaError diskImage(std::string text);
    static TesselaError copyFailed(std::string text);
    static TesselaError verificationFailed(std::vector<TreeMismatch> mismatches);
    static TesselaError restoreVerificationFailed(std::vector<TreeMismatch> mismatches);
    static TesselaError refused(LockRefusal refusal);
    static TesselaError lockedButOriginalRemains(std::string name);
    static TesselaError lockedButRemovalUnfinished(std::string name);
    static TesselaError stillInICloud(std::string name);
    static TesselaError containsUnlockedItem(std::string name);
    static TesselaError containsMountedDisk(std::string name);
    static TesselaError containsAppleDouble(std::string name);
    static TesselaError finderLocked(std::string name);
    static TesselaError containsFinderLocked(std::string name);
    static TesselaError hardLinked(std::string name);
    static TesselaError wrongPassword();
    static TesselaError notLocked();
    static TesselaError notFound();
    static TesselaError cancelled();
    static TesselaError needsAllLocked();
    static TesselaError changedWhileLocking();
    // A folder holding, at its top, one of the two files the lock writes into every locked
    // item's volume (the item marker and the indexer stop file): locking it would overwrite it.
    static TesselaError containsReservedName(std::string name, std::string file);
    // The item could be locked, but this user may not remove it from its folder afterwards
    // (a folder not writable, a sticky folder owned by someone else, a folder inside that
    // cannot be emptied): refused before any change rather than leaving the original behind.
    static TesselaError originalNotRemovable(std::string name);
    // The item's path, or a name Tessela would have to make for it, is longer than the system
    // allows.
    static TesselaError pathTooLong(std::string name);

    [[nodiscard]] Case errorCase() const noexcept { return case_; }
    [[nodiscard]] const Payload& payload() const noexcept { return payload_; }

    // The user-facing sentence of this error.
    [[nodiscard]] const std::string& errorDescription() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    // Present only for lockedButOriginalRemains and lockedButRemovalUnfinished.
    [[nodiscard]] std::optional<LockedNotice> lockedNotice() const;

    // Joins names as an English enumeration: "", "A", "A and B", "A, B and C".
    [[nodiscard]] static std::string list(const std::vector<std::string>& names);

    // The case's name, for example "notEnoughSpace".
    [[nodiscard]] static std::string_view caseName(Case errorCase);

    // Same case and equal payloads (mismatch lists element by element, in order).
    friend bool operator==(const TesselaError& left, const TesselaError& right) {
        return left.case_ == right.case_ && left.payload_ == right.payload_;
    }

  private:
    TesselaError(Case errorCase, Payload payload);

    Case case_;
    Payload payload_;
    std::string description_;
};

}  // namespace tessela
