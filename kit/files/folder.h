#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "posix/unique_fd.h"

namespace tessela {

// A folder held open by descriptor. Work done through it stays in that very folder even when
// someone renames or replaces a component of its path meanwhile, which matters wherever the
// engine works next to a user's item: the item's folder may be shared (a group folder, /tmp)
// and writable by another local user.
//
// Member names are single path components and are used as bytes. No member operation follows a
// symbolic link, and every name the engine takes for itself is created exclusively: a name that
// is already taken, even by a dangling link, fails with EEXIST. Failures are std::system_error
// with the error number and the member's path.
//
// A move-only value owning one descriptor; callable from any thread, one call at a time.
class Folder {
  public:
    // The identity a removal must find before it deletes anything.
    struct Identity {
        dev_t device = 0;
        ino_t inode = 0;
        friend bool operator==(const Identity&, const Identity&) = default;
    };

    // Opens the folder at `path`. Links in `path` are followed here, once; from then on the
    // folder is reached only through the descriptor.
    [[nodiscard]] static Folder open(const std::filesystem::path& path);

    // The path the folder was opened at (for messages and for recording in the journal).
    [[nodiscard]] const std::filesystem::path& path() const noexcept { return path_; }
    [[nodiscard]] int fd() const noexcept { return fd_.get(); }
    // "/proc/self/fd/N/.": a path that reaches this very folder, whatever happened to `path`.
    [[nodiscard]] std::filesystem::path descriptorPath() const;
    // The folder's own status, and which folder it is.
    [[nodiscard]] struct stat status() const;
    [[nodiscard]] Identity identity() const;

    // The member's status without following a link; none when nothing has that name.
    [[nodiscard]] std::optional<struct stat> memberStatus(const std::string& name) const;
    [[nodiscard]] bool contains(const std::string& name) const;

    // Creates the member folder `name` with `mode` and opens it. Fails with EEXIST when the name
    // is taken. The folder opened is checked to be the new one (owned by this user, empty, with
    // the new mode), so a folder slipped in under the name in between is never worked in.
    [[nodiscard]] Folder makeFolder(const std::string& name, mode_t mode) const;
    // Opens the member folder `name`; a link there fails (ELOOP or ENOTDIR).
    [[nodiscard]] Folder openFolder(const std::string& name) const;
    // Creates the member file `name` with `mode` and opens it for writing; EEXIST when taken.
    [[nodiscard]] UniqueFd createFile(const std::string& name, mode_t mode) const;

    // Renames member `from` to `to` in `target` without ever replacing anything: EEXIST when
    // `to` is taken. Where the file system cannot refuse to replace, `to` is first taken by an
    // empty placeholder made exclusively, which the rename then replaces in one step.
    void renameExclusively(const std::string& from, const Folder& target,
                           const std::string& to) const;
    // Renames member `from` to `to` in `target`, replacing whatever `to` was.
    void renameReplacing(const std::string& from, const Folder& target,
                         const std::string& to) const;

    // What a removal must find, and what it must leave.
    struct RemovalGuard {
        // The member must be this object, else nothing is removed (ESTALE).
        std::optional<Identity> expected;
        // Files, links and other non-folders inside the member whose status changed after this
        // moment (nanoseconds since 1970) are left where they are, with the folders holding
        // them: content that arrived after a check is never deleted on that check's word.
        std::optional<std::int64_t> keepChangedAfter;
    };

    // Removes the member `name` and everything inside it, making it deletable on the way:
    // folders get owner read, write and search permission, and the immutable and append-only
    // attributes are cleared where this user may (files with other hard links are never
    // changed, only unlinked). Never follows a link (a link is removed itself) and never enters
    // another file system: a mount point inside stops the removal with EXDEV before anything
    // on it is touched. True when the member is gone (or was never there); false when the
    // guard kept entries that changed after its moment.
    bool removeTree(const std::string& name, const RemovalGuard& guard = {}) const;
    // Only the preparation part of removeTree; never fails, never follows a link, never enters
    // another file system.
    void makeTreeDeletable(const std::string& name) const noexcept;
    // Removes the empty member folder `name`; false when that failed (not empty, missing, …).
    bool removeEmptyFolder(const std::string& name) const noexcept;

    // Flushes the folder's entries (after a create, rename or delete in it) to stable storage.
    void sync() const;
    // Flushes the whole file system holding the folder, data of every file on it included.
    void syncFileSystem() const;

    Folder(Folder&&) noexcept = default;
    Folder& operator=(Folder&&) noexcept = default;

  private:
    Folder(UniqueFd fd, std::filesystem::path path) : fd_(std::move(fd)), path_(std::move(path)) {}

    UniqueFd fd_;
    std::filesystem::path path_;
};

}  // namespace tessela
