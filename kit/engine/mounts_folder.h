#pragma once

#include <filesystem>

#include "files/file_system.h"

namespace tessela {

// The folder that holds every open item's private mount folder (support/Open).
//
// It is writable only while the engine itself adds or removes a mount folder (0700 then, 0500
// at rest). So once a volume is detached and its folder removed, nothing — not an editor saving
// to the path it had open — can recreate the folder and leave plain content where the encrypted
// volume used to be.
class MountsFolder {
  public:
    MountsFolder(std::filesystem::path root, FileSystem& fileSystem)
        : root_(std::move(root)), fileSystem_(&fileSystem) {}

    [[nodiscard]] const std::filesystem::path& root() const noexcept { return root_; }

    // Creates the mount folder (an existing one is fine). A mounts folder that cannot be
    // closed again is an error (std::system_error), never left open silently.
    void make(const std::filesystem::path& mountPoint) const;
    // Removes an empty mount folder (never anything inside it); false when that failed or the
    // mounts folder could not be closed again.
    bool remove(const std::filesystem::path& mountPoint) const noexcept;

    // The root of a mounted file system (ItemFacts::volumeRoot).
    [[nodiscard]] static bool isMountPoint(const std::filesystem::path& url);

  private:
    std::filesystem::path root_;
    FileSystem* fileSystem_;
};

}  // namespace tessela
