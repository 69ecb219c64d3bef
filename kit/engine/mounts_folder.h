#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "files/file_system.h"
#include "records/uuid.h"

namespace tessela {

// The folder that holds every open item's private mount folder (support/Open).
//
// It is writable only while the engine itself adds or removes a mount folder (0700 then, 0500
// at rest). So once a volume is detached and its folder removed, nothing — not an editor saving
// to the path it had open — can recreate the folder and leave plain content where the encrypted
// volume used to be.
//
// A mount folder is named by its item's id, which is what the records, the listing of open items
// and recovery go by. People see an open item through its shown folder instead: a relative link
// beside the mount folder, named after the item ("Taxes", "Taxes 2", … "Report.pdf"), so that
// a file manager's title and path read the item's name and two open items can be told apart. A
// shown folder's name never parses as an id and never begins with ".", so it cannot be taken for
// a mount folder; the links are read without ever being followed, and only links are removed as
// shown folders.
class MountsFolder {
  public:
    MountsFolder(std::filesystem::path root, FileSystem& fileSystem)
        : root_(std::move(root)), fileSystem_(&fileSystem) {}

    [[nodiscard]] const std::filesystem::path& root() const noexcept { return root_; }

    // Creates the mount folder (an existing folder is fine; anything else there, a link
    // included, is refused with EEXIST). A mounts folder that cannot be closed again is an error
    // (std::system_error), never left open silently.
    void make(const std::filesystem::path& mountPoint) const;
    // Removes an empty mount folder (never anything inside it) and, once it is gone, the shown
    // folders leading to it; false when that failed or the mounts folder could not be closed
    // again. While the folder stays (still mounted), so do its shown folders.
    bool remove(const std::filesystem::path& mountPoint) const noexcept;

    // Makes the shown folder of the mount folder `mountPoint` (named by the item's id): a link
    // shownName(name, id, false) → {mount folder's name}, created exclusively in the mounts
    // folder, or with the whole id where another item's short id took that name. Returns the
    // link's path; none when no link could be made (the item is then seen at its mount
    // folder). Never throws.
    [[nodiscard]] std::optional<std::filesystem::path> makeShownFolder(
        const std::filesystem::path& mountPoint, const std::string& name) const noexcept;
    // The shown folder of each mount folder that has one, by the mount folder's name (a link's
    // target must be exactly that name); where several links lead to one, the first in byte
    // order. Nothing is followed. Never throws: an unreadable mounts folder shows none.
    [[nodiscard]] std::map<std::string, std::filesystem::path> shownFolders() const noexcept;
    // Removes every link in the mounts folder whose target is not exactly one of `mounted` (the
    // names of mount folders with a volume attached now): the shown folders a crash or a volume
    // detached elsewhere left behind. Nothing that is not a link is touched. Never throws.
    void removeStaleShownFolders(const std::set<std::string>& mounted) const noexcept;

    // The name of an item's shown folder: "Taxes (9B1C813B)", the item's name and the start of
    // its id (the whole id with `wholeId`). The id keeps the path one item's forever: a path an
    // editor kept from an item locked since never leads into another item of the same name,
    // and two open items of one name are told apart. The name is repaired to UTF-8 (a path a
    // launcher takes as text must still lead here), loses its leading dots and is cut at whole
    // characters so that the whole fits in NAME_MAX bytes; "Tessela item" stands in for a name
    // that would be empty or hold "/" or NUL. With its suffix it never reads as an id.
    [[nodiscard]] static std::string shownName(const std::string& name, const Uuid& id,
                                               bool wholeId);

    // The root of a mounted file system (ItemFacts::volumeRoot).
    [[nodiscard]] static bool isMountPoint(const std::filesystem::path& url);

  private:
    // Removes the links in the open mounts folder `mounts` whose target is `folderName`.
    void removeShownFoldersOf(const Folder& mounts, const std::string& folderName) const noexcept;

    std::filesystem::path root_;
    FileSystem* fileSystem_;
};

}  // namespace tessela
