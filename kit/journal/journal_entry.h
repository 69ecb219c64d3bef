#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "files/file_identity.h"
#include "records/json_codec.h"
#include "records/uuid.h"

namespace tessela {

// One operation in flight: everything recovery needs to finish or undo it after a crash.
struct JournalEntry {
    // lock: locking an item; restore: removing a lock.
    enum class Kind { lock, restore };

    Uuid id;
    Kind kind = Kind::lock;
    std::string originalPath;  // lock: the original; restore: the locked item
    std::string partialPath;   // lock: the image being built; restore: the hidden restored copy
    std::string finalPath;     // lock: the locked item to be; restore: "" until chosen
    std::optional<FileIdentity> lockedIdentity;
    std::optional<Timestamp> lockedAt;
    std::optional<std::string> deletingPath;
    // lock only: the original's identity, taken before anything was done. Recovery puts back or
    // deletes only that object, never something else found under its names.
    std::optional<FileIdentity> originalIdentity;
    // lock only: the fingerprint (metadataFingerprint) of the original as it was copied and
    // verified. Recovery deletes an original only while it still has it.
    std::optional<std::string> originalFingerprint;
    // lock only: the newest status change (nanoseconds since 1970) among the entries of the
    // original as verified. Deleting the renamed original leaves whatever inside it changed
    // later: content that arrived after the check is never deleted on its word.
    std::optional<std::int64_t> originalChangedUntil;
    // lock only: the original renamed to deletingPath was checked against the fingerprint once
    // more; only its deletion is left (a partly deleted tree is never mistaken for a changed one).
    bool deletingVerified = false;
    // restore only: the restored copy's identity, recorded once it is verified and before it is
    // moved into place (a rename keeps it). Recovery deletes the locked item only when the
    // restored item at finalPath is that object.
    std::optional<FileIdentity> restoredIdentity;

    JournalEntry() = default;
    JournalEntry(Uuid entryId, Kind entryKind, std::string original, std::string partial,
                 std::string final, std::optional<FileIdentity> identity)
        : id(entryId),
          kind(entryKind),
          originalPath(std::move(original)),
          partialPath(std::move(partial)),
          finalPath(std::move(final)),
          lockedIdentity(identity) {}

    friend bool operator==(const JournalEntry&, const JournalEntry&) = default;

    // Optional keys are left out when absent.
    [[nodiscard]] nlohmann::json toJson() const;
    // Throws DecodingError for a missing required key, a wrong type or an unknown kind.
    [[nodiscard]] static JournalEntry fromJson(const nlohmann::json& object);
};

[[nodiscard]] std::string_view rawValue(JournalEntry::Kind kind);
[[nodiscard]] std::optional<JournalEntry::Kind> journalKindFromRawValue(std::string_view text);

}  // namespace tessela
