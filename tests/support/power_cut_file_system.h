#pragma once

#include <sys/types.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "journal/crash_point.h"
#include "support/recording_file_system.h"

namespace tessela::testing {

// The power going off: thrown by the step it falls on and by every step after it.
class PowerCut : public SimulatedCrash {};

// A file system that loses, at a power cut, everything that had not been made durable.
//
// Every test file lies under `root`, on one file system. The disk as it is when the object is
// made counts as durable. From then on it keeps a shadow of what is durable, the way a journaled
// file system promises it, and no more:
// - a flush of the whole file system (syncfs) makes everything on it durable, names and data; a
//   flush of a mounted container does not (its daemon's writes only reach the page cache);
// - a flush of a folder makes its entries durable: new names with whatever data had been made
//   durable for their objects (none for a file created since);
// - a flush of a file makes its data and mode durable, not its name; a flush of a tree, each of
//   its files and folders;
// - a private write is durable at once (it flushes the file and its folder itself).
// Renames, deletions, new folders and links, and mode changes that nothing flushed afterwards are
// lost. A removed tree, folder or link is kept aside (in a graveyard under root) rather than
// deleted, so that a removal the power cut takes back brings back the very objects, inodes and
// all (and no new file can take an inode number the shadow still gives to a removed one).
//
// cutBefore(n) makes step n throw PowerCut and change nothing, and every later step too. The
// test then unmounts what is mounted and calls restoreDurableState(), which turns the disk under
// `root` into the shadow: objects that survive keep their inode where they can, so identities
// the journal recorded still match, and an object whose deletion was lost comes back. Or it
// calls loseUnflushedData(), for a cut that keeps every name but loses unflushed data.
class PowerCutFileSystem : public RecordingFileSystem {
  public:
    explicit PowerCutFileSystem(std::filesystem::path root);

    void cutBefore(int step) { cutAt_ = step; }
    [[nodiscard]] bool hasCut() const noexcept { return cut_; }
    [[nodiscard]] int stepsTaken() const noexcept { return taken_; }

    void restoreDurableState();
    // The other way a power cut can fall: every change of names and every removal had reached
    // the disk (a journaled file system commits them on its own, or for anyone's fsync), but
    // file data nothing flushed is lost: such a file is left empty.
    void loseUnflushedData();

    bool removeTree(const Folder& parent, const std::string& name,
                    const Folder::RemovalGuard& guard) override;
    bool removeEmptyFolder(const Folder& parent, const std::string& name) override;
    bool removeLink(const Folder& parent, const std::string& name) override;
    void writePrivately(const std::filesystem::path& file, std::string_view bytes) override;
    void syncFile(int fd, const std::filesystem::path& pathForErrors) override;
    void syncFolder(const Folder& folder) override;
    void syncTree(const Folder& parent, const std::string& name) override;
    void syncFileSystem(const Folder& folder) override;

  protected:
    void before(const FileSystemStep& step) override;

  private:
    // One durable object: what a folder lists, a file holds, a link points to.
    struct Node {
        mode_t mode = 0;  // type and permission bits
        std::string data;
        std::map<std::string, ino_t> children;
    };

    // The names in a folder with the inode each names (for a mount point, the folder it
    // covers); the graveyard is not one of root's names.
    [[nodiscard]] std::map<std::string, ino_t> entriesOf(const std::filesystem::path& folder) const;
    [[nodiscard]] Node nodeOf(const std::filesystem::path& path, const struct stat& info) const;
    // Removes for good what the graveyard holds.
    void emptyGraveyard();
    // Every object under root as it is now.
    void captureAll();
    void captureFolderEntries(const std::filesystem::path& folder);
    void captureFileData(const std::filesystem::path& file);

    static constexpr const char* graveyardName = ".power-cut-graveyard";
    static constexpr const char* asideName = ".power-cut-aside";

    std::filesystem::path root_;
    std::filesystem::path graveyard_;
    dev_t device_ = 0;
    ino_t rootInode_ = 0;
    std::map<ino_t, Node> durable_;
    std::optional<int> cutAt_;
    std::mutex counting_;  // steps come from the copy's threads too
    std::atomic<int> taken_ = 0;
    std::atomic<bool> cut_ = false;
};

}  // namespace tessela::testing
