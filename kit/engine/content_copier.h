#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>

#include "activity/cancel_token.h"
#include "activity/lock_step.h"
#include "checks/tree_verifier.h"
#include "files/file_system.h"
#include "files/folder.h"

namespace tessela {

class ContainerKeys;

// Copies an item's content with full fidelity, into the container for a lock and out of it for
// a lock removal, in one pass that also hashes every byte it reads: the copy returns the
// source's manifest, so the verification afterwards reads only the copy.
//
// What is kept, as `cp -a` keeps it (the tests hold it to that):
// - regular files with their holes (SEEK_DATA/SEEK_HOLE), folders, symbolic links as links,
//   FIFOs, sockets and device nodes (a device node only where the system permits making one;
//   otherwise the copy fails, as cp's does), files hard-linked to each other stay linked;
// - owner and group where permitted (anyone may keep a group they belong to), then the mode,
//   set-id bits only with the ownership they belong to;
// - extended attributes of every namespace the destination accepts, POSIX ACLs among them;
//   an attribute the destination refuses is left out, as cp -a leaves it;
// - access and modification times to the nanosecond, folders' after their children.
//
// The work is shared by `threads` threads: files side by side, and a file larger than a block
// in parallel blocks. Reads and writes of blocks overlap; the hash takes each file's blocks in
// order. Memory is one block per thread plus a small record per entry, whatever the sizes.
//
// Nothing outside the two trees is ever reached: the source is opened once, walked through that
// descriptor, and every entry is opened beneath it without following a link on the way, its
// identity checked against the walk; every destination entry is created exclusively beneath the
// destination folder, through the file-system seam (its bytes are written directly). A file that
// changes while it is read (its times, length or identity, or more bytes past its length) is copied
// as read, and its manifest entry says so (an empty digest), which the verification reports as a
// difference. Holes are read like everything else (what the file system returns is what is hashed);
// they are only not written.
//
// Extended attributes in the user namespace are content: one the destination refuses fails the
// copy, unless it keeps none at all. A copy never keeps an ACL inherited from the folder it is
// made in that its source did not have.
class ContentCopier {
  public:
    // Threads sharing the work, and the bytes each reads and writes at a time.
    static constexpr int threads = 4;
    static constexpr std::size_t blockSize = 1024 * 1024;

    explicit ContentCopier(FileSystem& fileSystem) : fileSystem_(&fileSystem) {}

    struct Options {
        // Names at the source's root left out (and out of the manifest).
        std::set<std::string> skipping = {};
        // The mode `into` gets instead of the source folder's.
        std::optional<mode_t> rootMode;
        // Polled before every block and every entry; a cancellation ends the copy with
        // TesselaError::cancelled(), the copy left for the caller's cleanup.
        const CancelToken* cancel = nullptr;
        // Bytes of file content copied out of the total, throttled.
        CopyProgressCallback progress = {};
        // A folder on the file system the copy's bytes finally land on (the container's own
        // disk when the destination is a mounted container): while the copy runs, a
        // background flush of it starts writing back what was copied, so that the flush that
        // makes the copy durable finds little left to do. A hint only: durability stays with
        // that flush.
        std::optional<std::filesystem::path> writeBackTo = std::nullopt;
        // The source's device and inode as the caller checked them: anything else found at
        // `from` fails the copy.
        std::optional<Folder::Identity> sourceIdentity = std::nullopt;
        // The keys of the container whose own folder `into` is (not its mount): the copy is
        // written as the mount would store it, names, content, link targets and the user's
        // extended attributes sealed with them. Owners, modes, times and holes are kept as
        // for a plain copy; the container takes no other extended attribute (an ACL fails the
        // copy, as it does on the mount).
        const ContainerKeys* container = nullptr;
        // The keys of the container whose own folder `from` is, or holds (a single file, by
        // its stored name): the copy is what its mount shows, read without it. Names, content,
        // link targets and the user's extended attributes are opened with them, every block's
        // tag checked (a block that does not open fails the copy); the container's own files,
        // and names that do not open, are left out as the mount leaves them out. The manifest
        // is that of what was opened.
        const ContainerKeys* sourceContainer = nullptr;
    };

    // Copies `from` into the folder held open as `into`: a file (or any non-folder) becomes
    // `name` in `into`; a folder's entries go into `into` itself, which then takes the folder's
    // owner, mode, extended attributes and times. Returns the manifest of what was read from
    // `from`, keyed as TreeVerifier keys it. A failure is TesselaError::copyFailed naming the
    // entry and the system's reason, or TesselaError::cancelled(); what was copied so far stays
    // for the caller to remove.
    [[nodiscard]] TreeVerifier::Manifest copyInto(const std::filesystem::path& from,
                                                  const Folder& into, const std::string& name,
                                                  const Options& options) const;

  private:
    FileSystem* fileSystem_;
};

}  // namespace tessela
