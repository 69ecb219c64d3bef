#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "files/file_system.h"

namespace tessela::testing {

// One change or flush the engine asked of the file system.
struct FileSystemStep {
    enum class Kind {
        makeFolder,
        makeFolders,
        createFile,
        rename,
        removeTree,
        removeEmptyFolder,
        changeMode,
        makeLink,
        removeLink,
        makeHardLink,
        makeNode,
        writePrivately,
        syncFile,
        syncFolder,
        syncTree,
        syncFileSystem,
    };
    Kind kind;
    std::filesystem::path path;    // what the step changes or flushes (a rename's source)
    std::filesystem::path target;  // a rename's destination, a new link's target
};

// The real file system with every step recorded, and a hook before each: the hook may change the
// disk (another program acting at that moment) or throw to make the step fail.
class RecordingFileSystem : public FileSystem {
  public:
    // Called before each step is carried out, with the step; one call at a time (the copy takes
    // steps from several threads), and it may take steps itself.
    std::function<void(const FileSystemStep&)> beforeStep;
    // The free space to report everywhere; none asks the real file system.
    std::optional<std::int64_t> freeBytes;

    [[nodiscard]] std::vector<FileSystemStep> steps() const;
    // Starts the record afresh.
    void forgetSteps();
    // The steps as lines "N kind path", for a failure's message.
    [[nodiscard]] std::string stepList() const;

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

  protected:
    // Records the step and runs the hook; subclasses add what happens before a step.
    virtual void before(const FileSystemStep& step);

    LinuxFileSystem real_;

  private:
    mutable std::mutex mutex_;
    std::recursive_mutex hookLock_;
    std::vector<FileSystemStep> steps_;
};

}  // namespace tessela::testing
