#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <functional>

#include "process/process_runner.h"

namespace tessela {

// One mounted encrypted image: its bundle (symbolic links resolved, path standardised) and a
// mount point of it.
struct AttachedImage {
    std::string imagePath;
    std::filesystem::path mountPoint;
    friend bool operator==(const AttachedImage&, const AttachedImage&) = default;
};

// The only code that runs the container tools. A locked item's bundle is a gocryptfs cipher
// directory (AES-256-GCM); its volume is mounted through FUSE by a gocryptfs daemon and
// unmounted with fusermount3.
//
// - Passwords travel only on the tool's standard input, never in an argument, the environment
//   or a file. A password holding a line feed or NUL cannot travel that way: the tool is not run
//   (create and changePassword fail with diskImage, attach with wrongPassword).
// - gocryptfs' exit status 12 is wrongPassword; every other failure is diskImage with the tool's
//   cleaned output (or, when it printed nothing, the meaning of its exit status).
// - Detach tries three times, 500 ms apart, while the volume is busy, then asks the blocker check
//   it was given who holds files there: only harmless system readers (indexers, thumbnailers)
//   are ejected by force; anyone else makes it fail with inUse naming them. Without a blocker
//   check a busy volume is never ejected by force.
// - A forced detach ends the mount even while applications hold files: a lazy unmount, then the
//   gocryptfs daemon serving that mount point is ended, so open files lose access and the key
//   leaves memory.
//
// A value holding only tool paths; each call runs its tools on the caller's thread.
class DiskImageTool {
  public:
    // The virtual size of an image where the container has one; gocryptfs bundles grow without
    // a set size, so it goes unused here (the lock policy still refuses items over 2 TB).
    static constexpr const char* virtualSize = "2t";
    static constexpr std::chrono::milliseconds detachPause{500};
    static constexpr int detachRuns = 3;
    // The ending a new image's folder must have: the design's name for an image that grows as
    // it fills (a sparse bundle); here the folder is a gocryptfs cipher folder.
    static constexpr const char* imageExtension = ".sparsebundle";

    // gocryptfs' documented exit codes (gocryptfs(1), EXIT CODES); others mean "see the message".
    enum class GocryptfsExit : int {
        success = 0,
        cipherDirNotEmpty = 6,  // on -init
        mountPointNotEmpty = 10,
        passwordIncorrect = 12,
        passwordEmpty = 22,     // on -init
        configUnreadable = 23,  // gocryptfs.conf
        configUnwritable = 24,  // on -init or -passwd
        fsckErrors = 26,
    };

    // Who keeps a busy volume busy: the names to report, and whether they are only harmless
    // system readers that may be ejected by force.
    struct Blockers {
        std::vector<std::string> names;
        bool safeToEject = false;
    };
    using BlockerCheck = std::function<Blockers(const std::filesystem::path& mountPoint)>;

    struct Tools {
        std::string gocryptfs = "/usr/bin/gocryptfs";
        std::string fusermount = "/usr/bin/fusermount3";
        // The open-file analysis (lsof) lives with the checks; they hand it in.
        BlockerCheck blockers = {};
    };

    // `scryptCost` is gocryptfs' -scryptn (log2 of the key-derivation cost) for new images and
    // password changes; none keeps gocryptfs' default. Tests pass a small value to run fast.
    DiskImageTool();
    explicit DiskImageTool(Tools tools, std::optional<int> scryptCost = std::nullopt)
        : tools_(std::move(tools)), scryptCost_(scryptCost) {}

    [[nodiscard]] const Tools& tools() const noexcept { return tools_; }
    // The same tool, asking `blockers` who keeps a busy volume busy.
    [[nodiscard]] DiskImageTool withBlockers(BlockerCheck blockers) const {
        DiskImageTool tool = *this;
        tool.tools_.blockers = std::move(blockers);
        return tool;
    }

    // Creates a new empty image at `image` (a folder made with mode 0700). `image` must end in
    // ".sparsebundle": anything else is a programming error (std::invalid_argument), caught
    // before any tool runs. `volumeName` has no place in a gocryptfs bundle; the item marker
    // carries the name. A cancellation ends the key derivation at once (TesselaError::cancelled;
    // the half-made image is the caller's to remove). Attaching has no such cancel: gocryptfs
    // mounts from a daemon of its own, which could finish mounting after its starter was ended.
    void create(const std::filesystem::path& image, const std::string& volumeName,
                const std::string& password, const CancelToken* cancel = nullptr) const;

    // How a writable mount guards against a full disk. gocryptfs normally reserves the space of
    // each write before making it, so a disk that fills mid-write cannot leave a torn, unreadable
    // last block. A bulk copy whose every byte is verified afterwards may skip that (the copy is
    // then about twice as fast); a mount the user edits in must not.
    enum class Writes { guarded, verifiedAfterwards };

    // Mounts the image's volume at `mountPoint` (an existing empty folder) and returns once it
    // is mounted; the daemon serving it outlives the call.
    void attach(const std::filesystem::path& image, const std::filesystem::path& mountPoint,
                const std::string& password, bool readOnly, Writes writes = Writes::guarded) const;

    void detach(const std::filesystem::path& mountPoint, bool force) const;

    // Re-wraps the image's key under `newPassword`. Afterwards no file in the bundle opens with
    // the old password. A new key file left half-written by an earlier change that was killed
    // or ran out of disk ("gocryptfs.conf.tmp", which gocryptfs makes exclusively and would
    // otherwise trip over for ever) is removed first, while the key file itself is in place.
    void changePassword(const std::filesystem::path& image, const std::string& oldPassword,
                        const std::string& newPassword) const;

    // Every mounted gocryptfs volume of this process's mount namespace, from
    // /proc/self/mountinfo. Unreadable → diskImage("Could not list mounted disk images.").
    [[nodiscard]] std::vector<AttachedImage> attachedImages() const;

    // The gocryptfs volumes listed in mountinfo text, in order.
    [[nodiscard]] static std::vector<AttachedImage> parseMountInfo(std::string_view mountInfo);

    // What the container adds on disk to `content`: per file a header, a tag per 4 KiB block
    // and the last block's rounding; per folder its name-key file and its own block.
    [[nodiscard]] static std::int64_t containerOverhead(const std::filesystem::path& content);
    // The same in parts: the volume root's own, and one entry's (of type and size from its
    // status).
    [[nodiscard]] static std::int64_t volumeRootOverhead();
    [[nodiscard]] static std::int64_t entryOverhead(mode_t mode, std::int64_t size);

    // The tools' output as one line: empty lines dropped, the tools' own name prefixes and
    // terminal colour codes removed, lines joined with single blanks, ends trimmed.
    [[nodiscard]] static std::string clean(std::string_view output);

  private:
    // Removes "gocryptfs.conf.tmp" from the bundle at `image` when an interrupted password change
    // left it beside an intact key file.
    static void removeUnfinishedKeyFile(const std::filesystem::path& image);
    enum class Tool { gocryptfs, fusermount };
    // A failed run: wrongPassword for gocryptfs' status 12, else diskImage with the cleaned
    // output, or the status's meaning when the tool printed nothing.
    [[noreturn]] static void failWith(const ProcessResult& result, Tool tool);
    void forcedDetach(const std::filesystem::path& mountPoint) const;
    void endDaemonServing(const std::filesystem::path& mountPoint) const;

    Tools tools_;
    std::optional<int> scryptCost_;
};

}  // namespace tessela
