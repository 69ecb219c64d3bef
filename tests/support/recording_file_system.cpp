#include "support/recording_file_system.h"

namespace tessela::testing {

using Kind = FileSystemStep::Kind;

std::vector<FileSystemStep> RecordingFileSystem::steps() const {
    const std::lock_guard lock(mutex_);
    return steps_;
}

void RecordingFileSystem::forgetSteps() {
    const std::lock_guard lock(mutex_);
    steps_.clear();
}

std::string RecordingFileSystem::stepList() const {
    static constexpr const char* names[] = {
        "makeFolder", "makeFolders",       "createFile", "rename",
        "removeTree", "removeEmptyFolder", "changeMode", "makeLink",
        "removeLink", "makeHardLink",      "makeNode",   "writePrivately",
        "syncFile",   "syncFolder",        "syncTree",   "syncFileSystem"};
    std::string list;
    int number = 0;
    for (const FileSystemStep& step : steps()) {
        list += std::to_string(++number) + " " + names[static_cast<int>(step.kind)] + " " +
                step.path.string() + (step.target.empty() ? "" : " -> " + step.target.string()) +
                "\n";
    }
    return list;
}

void RecordingFileSystem::before(const FileSystemStep& step) {
    {
        const std::lock_guard lock(mutex_);
        steps_.push_back(step);
    }
    const std::lock_guard hook(hookLock_);
    if (beforeStep) {
        beforeStep(step);
    }
}

Folder RecordingFileSystem::makeFolder(const Folder& parent, const std::string& name, mode_t mode) {
    before({Kind::makeFolder, parent.path() / name, {}});
    return real_.makeFolder(parent, name, mode);
}

void RecordingFileSystem::makeFolders(const std::filesystem::path& folder, mode_t mode) {
    before({Kind::makeFolders, folder, {}});
    real_.makeFolders(folder, mode);
}

void RecordingFileSystem::makeFolderAt(const Entry& entry, mode_t mode) {
    before({Kind::makeFolder, entry.path, {}});
    real_.makeFolderAt(entry, mode);
}

UniqueFd RecordingFileSystem::createFileAt(const Entry& entry, mode_t mode) {
    before({Kind::createFile, entry.path, {}});
    return real_.createFileAt(entry, mode);
}

void RecordingFileSystem::makeLinkAt(const Entry& entry, const std::string& target) {
    before({Kind::makeLink, entry.path, target});
    real_.makeLinkAt(entry, target);
}

void RecordingFileSystem::makeHardLinkAt(const Entry& existing, const Entry& link) {
    before({Kind::makeHardLink, link.path, existing.path});
    real_.makeHardLinkAt(existing, link);
}

void RecordingFileSystem::makeNodeAt(const Entry& entry, mode_t mode, dev_t device) {
    before({Kind::makeNode, entry.path, {}});
    real_.makeNodeAt(entry, mode, device);
}

UniqueFd RecordingFileSystem::createFile(const Folder& parent, const std::string& name,
                                         mode_t mode) {
    before({Kind::createFile, parent.path() / name, {}});
    return real_.createFile(parent, name, mode);
}

void RecordingFileSystem::renameExclusively(const Folder& from, const std::string& fromName,
                                            const Folder& to, const std::string& toName) {
    before({Kind::rename, from.path() / fromName, to.path() / toName});
    real_.renameExclusively(from, fromName, to, toName);
}

bool RecordingFileSystem::removeTree(const Folder& parent, const std::string& name,
                                     const Folder::RemovalGuard& guard) {
    before({Kind::removeTree, parent.path() / name, {}});
    return real_.removeTree(parent, name, guard);
}

bool RecordingFileSystem::removeEmptyFolder(const Folder& parent, const std::string& name) {
    before({Kind::removeEmptyFolder, parent.path() / name, {}});
    return real_.removeEmptyFolder(parent, name);
}

void RecordingFileSystem::changeMode(const Folder& folder, mode_t mode) {
    before({Kind::changeMode, folder.path(), {}});
    real_.changeMode(folder, mode);
}

void RecordingFileSystem::makeLink(const Folder& parent, const std::string& name,
                                   const std::string& target) {
    before({Kind::makeLink, parent.path() / name, target});
    real_.makeLink(parent, name, target);
}

bool RecordingFileSystem::removeLink(const Folder& parent, const std::string& name) {
    before({Kind::removeLink, parent.path() / name, {}});
    return real_.removeLink(parent, name);
}

void RecordingFileSystem::writePrivately(const std::filesystem::path& file,
                                         std::string_view bytes) {
    before({Kind::writePrivately, file, {}});
    real_.writePrivately(file, bytes);
}

void RecordingFileSystem::syncFile(int fd, const std::filesystem::path& pathForErrors) {
    before({Kind::syncFile, pathForErrors, {}});
    real_.syncFile(fd, pathForErrors);
}

void RecordingFileSystem::syncFolder(const Folder& folder) {
    before({Kind::syncFolder, folder.path(), {}});
    real_.syncFolder(folder);
}

void RecordingFileSystem::syncTree(const Folder& parent, const std::string& name) {
    before({Kind::syncTree, parent.path() / name, {}});
    real_.syncTree(parent, name);
}

void RecordingFileSystem::syncFileSystem(const Folder& folder) {
    before({Kind::syncFileSystem, folder.path(), {}});
    real_.syncFileSystem(folder);
}

std::optional<std::int64_t> RecordingFileSystem::freeSpace(const std::filesystem::path& location) {
    return freeBytes ? freeBytes : real_.freeSpace(location);
}

}  // namespace tessela::testing
