#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "engine/engine_parts.h"
#include "files/file_system.h"
#include "files/folder.h"

namespace tessela {

// A locked item's look in the file manager: the GIO metadata attribute
// "metadata::custom-icon-name" set to Tessela's locked icon, which GNOME Files shows; reading it
// back tells whether it is set already. GIO keeps such metadata through the desktop's metadata
// service (GVfs); without it, or on a file system it does not cover, setting fails. That is best
// effort throughout: a failure is one warning in the log and never stops a lock or a repair. A
// desktop without that service (GIO's plain local implementation) keeps no metadata and no file
// manager there shows it: nothing is done and nothing is reported.
class LockedLook {
  public:
    static constexpr const char* attribute = "metadata::custom-icon-name";
    static constexpr const char* lockedIconName = "tessela-locked";
    // A locked item is a folder, which file managers open on a double-click: inside, beside the
    // encrypted names, this note says in words what the folder is and how to open it. It lies
    // in the container's encrypted folder, where the container's own tools pass over it (its
    // name is no encrypted name), so the item opens and verifies as before.
    static constexpr const char* guideName = "How to open this locked item.txt";

    explicit LockedLook(const EngineParts& parts) : e_(parts) {}

    // Sets the look on `locked` (true at once where no metadata is kept). On failure logs why and
    // returns false; never throws.
    static bool set(const std::filesystem::path& locked);
    // Writes the note into the locked item's encrypted folder `bundle`, for the item `name`,
    // exclusively (a name taken there is left as it is). Best effort: a failure is logged.
    static void writeGuide(FileSystem& fileSystem, const Folder& bundle, const std::string& name);
    // Whether the look is set; none when it cannot be read.
    [[nodiscard]] static std::optional<bool> isSet(const std::filesystem::path& locked);
    // Sets the look unless it is known to be set already; never fails.
    static void setIfNeeded(const std::filesystem::path& locked);

    // For every item the index can locate: migrates an earlier-style name and writes the note
    // into an item locked before notes were written (unless the item has an operation in the
    // journal, whose entry names it, or is open) and sets the look. True when any item got a
    // new name. Never fails: an unreadable index makes it do nothing, an unreadable
    // journal counts as empty.
    bool repair() const noexcept;

  private:
    void addGuideIfMissing(const std::filesystem::path& locked,
                           const std::string& name) const noexcept;

    const EngineParts& e_;
};

}  // namespace tessela
