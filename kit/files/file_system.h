#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "files/folder.h"
#include "posix/unique_fd.h"

namespace tessela {

// Every way the engine changes the disk or makes a change durable goes through this seam:
// creating, renaming and removing names (symbolic links among them), changing a folder's mode,
// private atomic writes, the flushes, and the free-space figure the space checks trust. Reading the
// disk does not, nor do the content's own bytes as the copy writes them: those become durable with
// the flush of the whole file system that comes before anything depends on them.
//
// One implementation is real (LinuxFileSystem); tests put another in its place to record each
// step, to fail one, or to cut the power at one and keep only what had been made durable.
// Failures are std::system_error with the error number and the path, as Folder gives them.
// Implementations are safe to call from several threads.
class FileSystem {
  public:
    virtual ~FileSystem() = default;

    // The machine's own file system.
    [[nodiscard]] static FileSystem& real();

    // Creates the folder `name` in `parent` exclusively and opens it (Folder::makeFolder).
    [[nodiscard]] virtual Folder makeFolder(const Folder& parent, const std::string& name,
                                            mode_t mode) = 0;
    // Creates `folder` and every missing parent with `mode`; an existing folder is fine.
    virtual void makeFolders(const std::filesystem::path& folder, mode_t mode) = 0;
    // Creates the file `name` in `parent` exclusively and opens it for writing.
    [[nodiscard]] virtual UniqueFd createFile(const Folder& parent, const std::string& name,
                                              mode_t mode) = 0;
    // Renames without ever replacing anything (Folder::renameExclusively).
    virtual void renameExclusively(const Folder& from, const std::string& fromName,
                                   const Folder& to, const std::string& toName) = 0;
    // Removes a tree through descriptors (Folder::removeTree); true when it is gone.
    virtual bool removeTree(const Folder& parent, const std::string& name,
                            const Folder::RemovalGuard& guard) = 0;
    // Removes the empty folder `name`; false when that failed (not empty, missing, …).
    virtual bool removeEmptyFolder(const Folder& parent, const std::string& name) = 0;
    // Gives the open folder `folder` the permission bits `mode`.
    virtual void changeMode(const Folder& folder, mode_t mode) = 0;
    // Creates the symbolic link `name` in `parent` holding `target` exactly as given (never
    // resolved), exclusively: EEXIST when the name is taken, even by a dangling link.
    virtual void makeLink(const Folder& parent, const std::string& name,
                          const std::string& target) = 0;
    // Removes `name` in `parent` when it is a symbolic link: the link itself, never what it
    // leads to, and never anything that is not a link. False when it is not one, is missing, or
    // the removal failed.
    virtual bool removeLink(const Folder& parent, const std::string& name) = 0;

    // The copy's own creates, in a folder held open by the bare descriptor `folder` (the copy
    // works through descriptors it opened beneath its destination): each makes `name` there
    // exclusively and never follows a link. `path` is where that is, for errors and records.
    struct Entry {
        int folder;
        const std::string& name;
        const std::filesystem::path& path;
    };
    virtual void makeFolderAt(const Entry& entry, mode_t mode) = 0;
    // Opened for writing only.
    [[nodiscard]] virtual UniqueFd createFileAt(const Entry& entry, mode_t mode) = 0;
    virtual void makeLinkAt(const Entry& entry, const std::string& target) = 0;
    // Another name for the file `existing` names (never a link's target).
    virtual void makeHardLinkAt(const Entry& existing, const Entry& link) = 0;
    // A FIFO, socket or device node: `mode` holds its type and permission bits.
    virtual void makeNodeAt(const Entry& entry, mode_t mode, dev_t device) = 0;

    // Replaces `file` with `bytes` so that a crash leaves the old or the new content, mode 0600,
    // in a folder made 0700 when missing: a temporary file, fsync, rename, fsync of the folder.
    virtual void writePrivately(const std::filesystem::path& file, std::string_view bytes) = 0;

    // Flushes an open file's data and status to stable storage.
    virtual void syncFile(int fd, const std::filesystem::path& pathForErrors) = 0;
    // Flushes a folder's entries (after a create, rename or delete in it) to stable storage.
    virtual void syncFolder(const Folder& folder) = 0;
    // Flushes `name` in `parent` and everything inside it, file by file and folder by folder
    // (fsync each, never following a link): for a file system whose whole-system flush does not
    // reach storage.
    virtual void syncTree(const Folder& parent, const std::string& name) = 0;
    // Flushes the whole file system holding the open folder (syncfs through its descriptor, so
    // no rename of a folder above it can point the flush elsewhere). A write the system could
    // not complete (EIO, ENOSPC) is thrown, never hidden.
    virtual void syncFileSystem(const Folder& folder) = 0;

    // Free bytes for an ordinary user on the file system holding `location`; none if unknown.
    [[nodiscard]] virtual std::optional<std::int64_t> freeSpace(
        const std::filesystem::path& location) = 0;
};

// The real file system, straight onto the system calls.
class LinuxFileSystem final : public FileSystem {
  public:
    Folder makeFolder(const Folder& parent, const std::string& name, mode_t mode) override;
    void makeFolders(const std::filesystem::path& folder, mode_t mode) override;
    UniqueFd createFile(const Folder& parent, const std::string& name, mode_t mode) override;
    void renameExclusively(const Folder& from, const std::string& fromName, const Folder& to,
                           const std::string& toName) override;
    bool removeTree(const Folder& parent, const std::string& name,
                    const Folder::RemovalGuard& guard) override;
    bool removeEmptyFolder(const Folder& parent, const std::string& name) override;
    void changeMode(const Folder& folder, mode_t mode) override;
    void makeLink(const Folder& parent, const std::string& name,
                  const std::string& target) override;
    bool removeLink(const Folder& parent, const std::string& name) override;
    void makeFolderAt(const Entry& entry, mode_t mode) override;
    UniqueFd createFileAt(const Entry& entry, mode_t mode) override;
    void makeLinkAt(const Entry& entry, const std::string& target) override;
    void makeHardLinkAt(const Entry& existing, const Entry& link) override;
    void makeNodeAt(const Entry& entry, mode_t mode, dev_t device) override;
    void writePrivately(const std::filesystem::path& file, std::string_view bytes) override;
    void syncFile(int fd, const std::filesystem::path& pathForErrors) override;
    void syncFolder(const Folder& folder) override;
    void syncTree(const Folder& parent, const std::string& name) override;
    void syncFileSystem(const Folder& folder) override;
    std::optional<std::int64_t> freeSpace(const std::filesystem::path& location) override;
};

}  // namespace tessela
