#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine_parts.h"
#include "errors/tessela_error.h"
#include "records/locked_item.h"
#include "records/uuid.h"

namespace tessela {

// Moving locked items along when things they depend on change: re-keying every item to a new
// password (Locker::changePassword, itemsStillMigrating), and renaming a locked file that still
// has the earlier naming ("Report.pdf.tessvault", "Report.pdf 2.tessvault") to the current one
// ("Report.tessvault", "Report 2.tessvault", Locker::migrateNameIfNeeded).
class PasswordMigration {
  public:
    explicit PasswordMigration(const EngineParts& parts) : e_(parts) {}

    // Re-keys each indexed item recorded below `generation` from `oldPassword` to `newPassword`
    // and records `generation` for it. An item that rejects the old password but opens with the
    // new one (re-keyed before its record was written) is recorded too. Returns the failures by
    // item id; an item of generation 0 that rejects the old password is neither changed nor
    // reported. The caller has checked that no item is open.
    [[nodiscard]] std::map<Uuid, TesselaError> changePassword(const std::string& oldPassword,
                                                              const std::string& newPassword,
                                                              std::int64_t generation) const;
    // The display names of the items that still need the move to `generation`, in a file
    // manager's order. An item of generation 0 counts only when its file cannot be found.
    [[nodiscard]] std::vector<std::string> itemsStillMigrating(std::int64_t generation) const;

    // Renames the locked file at `url` of `item` to the current naming when it has the earlier
    // one, and records the new place. Returns where the file is afterwards; never fails (every
    // failure leaves the file and its record as they were).
    [[nodiscard]] std::filesystem::path migrateNameIfNeeded(const std::filesystem::path& url,
                                                            const LockedItem& item) const;

    // The part of an earlier-style name `current` (without ".tessvault") that the new name keeps:
    // "" for the display name itself, " N" for the display name, a blank and a plain number of
    // 2 or more; none for anything else.
    [[nodiscard]] static std::optional<std::string> unmigratedSuffix(
        const std::string& current, const std::string& displayName);
    // Whether folders with this extension are shown as one file. No folder is, here.
    [[nodiscard]] static bool isPackageExtension(const std::string& extension);

  private:
    const EngineParts& e_;
};

}  // namespace tessela
