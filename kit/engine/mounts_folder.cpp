#include "engine/mounts_folder.h"

#include <sys/stat.h>

#include <cerrno>
#include <system_error>

#include "files/item_facts.h"
#include "posix/system_error.h"

namespace tessela {

void MountsFolder::make(const std::filesystem::path& mountPoint) const {
    fileSystem_->makeFolders(root_, 0700);
    const Folder mounts = Folder::open(root_);
    fileSystem_->changeMode(mounts, 0700);
    // fusermount wants the mount folder writable by the user.
    std::optional<std::system_error> failed;
    bool made = false;
    try {
        (void)fileSystem_->makeFolder(mounts, mountPoint.filename().string(), 0700);
        made = true;
    } catch (const std::system_error& error) {
        if (error.code() != std::errc::file_exists) {
            failed = error;
        }
    }
    try {
        fileSystem_->changeMode(mounts, 0500);
    } catch (...) {
        // Left open, the mounts folder would let anything recreate a closed item's folder and
        // leave plain content where the encrypted volume was.
        if (made) {
            try {
                (void)fileSystem_->removeEmptyFolder(mounts, mountPoint.filename().string());
            } catch (...) {
            }
        }
        throw;
    }
    if (failed) {
        throw *failed;
    }
}

bool MountsFolder::remove(const std::filesystem::path& mountPoint) const noexcept {
    try {
        std::optional<Folder> mounts;
        try {
            mounts = Folder::open(root_);
        } catch (const std::system_error& error) {
            return error.code() == std::errc::no_such_file_or_directory;
        }
        try {
            fileSystem_->changeMode(*mounts, 0700);
        } catch (const std::system_error&) {
        }
        const std::string name = mountPoint.filename().string();
        const bool removed =
            fileSystem_->removeEmptyFolder(*mounts, name) || !mounts->contains(name);
        fileSystem_->changeMode(*mounts, 0500);
        return removed;
    } catch (...) {
        return false;
    }
}

bool MountsFolder::isMountPoint(const std::filesystem::path& url) {
    return ItemFacts::volumeRoot(url).value_or(false);
}

}  // namespace tessela
