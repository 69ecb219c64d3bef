#include "support/power_cut_file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "support/temp_folder.h"

namespace tessela::testing {

namespace fs = std::filesystem;

namespace {

std::optional<struct stat> statusOf(const fs::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    return info;
}

std::string linkTarget(const fs::path& link) {
    return fs::read_symlink(link).string();
}

// Gives every folder of a tree owner permissions, so that anything in it can move or go.
void openUp(const fs::path& folder) {
    ::chmod(folder.c_str(), 0700);
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        if (fs::is_directory(fs::symlink_status(entry.path()))) {
            openUp(entry.path());
        }
    }
}

void check(bool done, const std::string& what, const fs::path& path) {
    if (!done) {
        throw std::system_error(errno, std::generic_category(), what + " " + path.string());
    }
}

}  // namespace

PowerCutFileSystem::PowerCutFileSystem(fs::path root)
    : root_(std::move(root)), graveyard_(root_ / graveyardName) {
    const std::optional<struct stat> info = statusOf(root_);
    check(info.has_value(), "lstat", root_);
    device_ = info->st_dev;
    rootInode_ = info->st_ino;
    fs::create_directory(graveyard_);
    captureAll();
}

std::map<std::string, ino_t> PowerCutFileSystem::entriesOf(const fs::path& folder) const {
    std::map<std::string, ino_t> entries;
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(folder.c_str()), &::closedir);
    if (!listing) {
        throw std::runtime_error("cannot list " + folder.string());
    }
    const std::optional<struct stat> info = statusOf(folder);
    const bool isRoot = info && info->st_ino == rootInode_ && info->st_dev == device_;
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." &&
            !(isRoot && (name == graveyardName || name == asideName))) {
            entries.emplace(name, entry->d_ino);
        }
    }
    return entries;
}

void PowerCutFileSystem::emptyGraveyard() {
    openUp(graveyard_);
    fs::remove_all(graveyard_);
    fs::create_directory(graveyard_);
}

bool PowerCutFileSystem::removeTree(const Folder& parent, const std::string& name,
                                    const Folder::RemovalGuard& guard) {
    before({FileSystemStep::Kind::removeTree, parent.path() / name, {}});
    const std::optional<struct stat> member = parent.memberStatus(name);
    if (!member) {
        return true;
    }
    if (guard.expected &&
        !(guard.expected->device == member->st_dev && guard.expected->inode == member->st_ino)) {
        throw std::system_error(ESTALE, std::generic_category(), "remove " + name);
    }
    if (member->st_dev != device_) {
        return real_.removeTree(parent, name, guard);
    }
    // Into the graveyard until a flush makes the removal durable.
    const fs::path buried = graveyard_ / std::to_string(member->st_ino);
    check(::renameat(parent.fd(), name.c_str(), AT_FDCWD, buried.c_str()) == 0, "bury", buried);
    return true;
}

void PowerCutFileSystem::before(const FileSystemStep& step) {
    {
        const std::lock_guard counting(counting_);
        if (cut_) {
            throw PowerCut();
        }
        ++taken_;
        if (cutAt_ && taken_ == *cutAt_) {
            cut_ = true;
            throw PowerCut();
        }
    }
    RecordingFileSystem::before(step);
}

bool PowerCutFileSystem::removeEmptyFolder(const Folder& parent, const std::string& name) {
    before({FileSystemStep::Kind::removeEmptyFolder, parent.path() / name, {}});
    const std::optional<struct stat> member = parent.memberStatus(name);
    if (!member || !S_ISDIR(member->st_mode) || member->st_dev != device_ ||
        !entriesOf(parent.descriptorPath() / name).empty()) {
        return real_.removeEmptyFolder(parent, name);  // fails as the real removal fails
    }
    const fs::path buried = graveyard_ / std::to_string(member->st_ino);
    return ::renameat(parent.fd(), name.c_str(), AT_FDCWD, buried.c_str()) == 0;
}

bool PowerCutFileSystem::removeLink(const Folder& parent, const std::string& name) {
    before({FileSystemStep::Kind::removeLink, parent.path() / name, {}});
    const std::optional<struct stat> member = parent.memberStatus(name);
    if (!member || !S_ISLNK(member->st_mode) || member->st_dev != device_) {
        return real_.removeLink(parent, name);  // fails as the real removal fails
    }
    const fs::path buried = graveyard_ / std::to_string(member->st_ino);
    return ::renameat(parent.fd(), name.c_str(), AT_FDCWD, buried.c_str()) == 0;
}

PowerCutFileSystem::Node PowerCutFileSystem::nodeOf(const fs::path& path,
                                                    const struct stat& info) const {
    Node node;
    node.mode = info.st_mode;
    if (S_ISREG(info.st_mode)) {
        node.data = readFile(path);
    } else if (S_ISLNK(info.st_mode)) {
        node.data = linkTarget(path);
    } else if (S_ISDIR(info.st_mode)) {
        node.children = entriesOf(path);
    }
    return node;
}

void PowerCutFileSystem::captureAll() {
    emptyGraveyard();  // every removal so far is durable now
    durable_.clear();
    const std::function<void(const fs::path&, ino_t)> capture = [&](const fs::path& path,
                                                                    ino_t inode) {
        const std::optional<struct stat> info = statusOf(path);
        if (!info) {
            return;
        }
        if (info->st_dev != device_) {
            // A mounted container: what lies under it is the folder it covers, an empty one.
            durable_[inode] = Node{S_IFDIR | 0700, {}, {}};
            return;
        }
        Node node = nodeOf(path, *info);
        const std::map<std::string, ino_t> children = node.children;
        durable_[info->st_ino] = std::move(node);
        for (const auto& [name, child] : children) {
            capture(path / name, child);
        }
    };
    capture(root_, rootInode_);
}

void PowerCutFileSystem::captureFolderEntries(const fs::path& folder) {
    const std::optional<struct stat> info = statusOf(folder);
    if (!info || info->st_dev != device_) {
        return;
    }
    Node& node = durable_[info->st_ino];
    node.mode = info->st_mode;
    node.children = entriesOf(folder);
    for (const auto& [name, child] : node.children) {
        if (durable_.contains(child)) {
            continue;
        }
        // A name made durable before its object's content: a file without its data, a folder
        // without its entries.
        const std::optional<struct stat> childInfo = statusOf(folder / name);
        Node made;
        made.mode = childInfo ? childInfo->st_mode : (S_IFDIR | 0700);
        if (childInfo && S_ISLNK(childInfo->st_mode)) {
            made.data = linkTarget(folder / name);
        }
        durable_[child] = std::move(made);
    }
}

void PowerCutFileSystem::captureFileData(const fs::path& file) {
    const std::optional<struct stat> info = statusOf(file);
    if (!info || info->st_dev != device_ || !S_ISREG(info->st_mode)) {
        return;
    }
    Node& node = durable_[info->st_ino];
    node.mode = info->st_mode;
    node.data = readFile(file);
}

void PowerCutFileSystem::writePrivately(const fs::path& file, std::string_view bytes) {
    RecordingFileSystem::writePrivately(file, bytes);
    captureFolderEntries(file.parent_path());
    captureFileData(file);
}

void PowerCutFileSystem::syncFile(int fd, const fs::path& pathForErrors) {
    RecordingFileSystem::syncFile(fd, pathForErrors);
    captureFileData("/proc/self/fd/" + std::to_string(fd));
}

void PowerCutFileSystem::syncFolder(const Folder& folder) {
    RecordingFileSystem::syncFolder(folder);
    captureFolderEntries(folder.descriptorPath());
}

void PowerCutFileSystem::syncTree(const Folder& parent, const std::string& name) {
    RecordingFileSystem::syncTree(parent, name);
    const fs::path root = parent.descriptorPath() / name;
    const std::function<void(const fs::path&)> capture = [&](const fs::path& path) {
        const std::optional<struct stat> info = statusOf(path);
        if (!info || info->st_dev != device_) {
            return;
        }
        if (S_ISREG(info->st_mode)) {
            captureFileData(path);
        } else if (S_ISDIR(info->st_mode)) {
            captureFolderEntries(path);
            for (const auto& [child, inode] : entriesOf(path)) {
                capture(path / child);
            }
        }
    };
    capture(root);
}

void PowerCutFileSystem::syncFileSystem(const Folder& folder) {
    RecordingFileSystem::syncFileSystem(folder);
    // A mounted container's flush reaches only its daemon: nothing of it is durable here.
    if (folder.status().st_dev == device_) {
        captureAll();
    }
}

void PowerCutFileSystem::loseUnflushedData() {
    emptyGraveyard();  // every removal stands
    const std::function<void(const fs::path&)> visit = [&](const fs::path& folder) {
        for (const auto& [name, inode] : entriesOf(folder)) {
            const fs::path path = folder / name;
            const std::optional<struct stat> info = statusOf(path);
            if (!info || info->st_dev != device_) {
                continue;
            }
            if (S_ISDIR(info->st_mode)) {
                visit(path);
                continue;
            }
            if (!S_ISREG(info->st_mode)) {
                continue;
            }
            const auto node = durable_.find(info->st_ino);
            const std::string data =
                node != durable_.end() && S_ISREG(node->second.mode) ? node->second.data : "";
            if (readFile(path) == data) {
                continue;
            }
            ::chmod(path.c_str(), (info->st_mode & 07777) | S_IWUSR);
            const int file = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
            check(file >= 0, "open", path);
            const bool written =
                ::write(file, data.data(), data.size()) == static_cast<ssize_t>(data.size());
            ::close(file);
            check(written, "write", path);
            ::chmod(path.c_str(), info->st_mode & 07777);
        }
    };
    visit(root_);
    captureAll();
}

void PowerCutFileSystem::restoreDurableState() {
    // Where each durable object belongs, parents before children.
    std::map<std::string, ino_t> wanted;
    const std::function<void(ino_t, const std::string&)> collect = [&](ino_t inode,
                                                                       const std::string& path) {
        const auto node = durable_.find(inode);
        if (node == durable_.end()) {
            return;
        }
        for (const auto& [name, child] : node->second.children) {
            const std::string childPath = path.empty() ? name : path + "/" + name;
            wanted[childPath] = child;
            collect(child, childPath);
        }
    };
    collect(rootInode_, "");

    // What is there now, under root and in the graveyard; every folder opened up so that
    // entries can move. Only entries under root can be in place.
    struct Present {
        fs::path path;
        std::string key;  // the path under root; empty in the graveyard
        ino_t inode;
    };
    std::vector<Present> present;  // parents before children
    const std::function<void(const fs::path&, const std::string&, bool)> list =
        [&](const fs::path& folder, const std::string& key, bool underRoot) {
            for (const auto& [name, inode] : entriesOf(folder)) {
                const std::string childKey = key.empty() ? name : key + "/" + name;
                present.push_back({folder / name, underRoot ? childKey : "", inode});
                const std::optional<struct stat> info = statusOf(folder / name);
                if (info && S_ISDIR(info->st_mode)) {
                    list(folder / name, childKey, underRoot);
                }
            }
        };
    list(root_, "", true);
    list(graveyard_, "", false);
    std::map<std::string, bool> inPlace;
    for (const Present& entry : present) {
        if (entry.key.empty()) {
            continue;
        }
        const std::string parent = fs::path(entry.key).parent_path().string();
        const auto found = wanted.find(entry.key);
        inPlace[entry.key] = found != wanted.end() && found->second == entry.inode &&
                             (parent.empty() || inPlace[parent]);
    }

    // Everything out of place goes aside, named by its inode, children first.
    const fs::path aside = root_ / asideName;
    fs::remove_all(aside);
    fs::create_directory(aside);
    for (auto entry = present.rbegin(); entry != present.rend(); ++entry) {
        if (!entry->key.empty() && inPlace[entry->key]) {
            continue;
        }
        const fs::path to = aside / std::to_string(entry->inode);
        // Moving a folder to another parent rewrites its "..": both must be writable for now.
        ::chmod(entry->path.parent_path().c_str(), 0700);  // durable modes come back below
        if (fs::is_directory(fs::symlink_status(entry->path))) {
            ::chmod(entry->path.c_str(), 0700);
        }
        if (fs::exists(fs::symlink_status(to))) {
            check(::unlink(entry->path.c_str()) == 0, "unlink", entry->path);  // another link
        } else {
            check(::rename(entry->path.c_str(), to.c_str()) == 0, "rename", entry->path);
        }
    }

    // Every durable object back at its place, with its durable data.
    for (const auto& [path, inode] : wanted) {
        const Node& node = durable_.at(inode);
        const fs::path target = root_ / path;
        const fs::path kept = aside / std::to_string(inode);
        std::optional<struct stat> there = statusOf(target);
        if (!there) {
            ::chmod(target.parent_path().c_str(), 0700);  // its durable mode comes back below
            const std::optional<struct stat> keptInfo = statusOf(kept);
            if (keptInfo && (keptInfo->st_mode & S_IFMT) == (node.mode & S_IFMT)) {
                if (S_ISDIR(keptInfo->st_mode)) {
                    ::chmod(kept.c_str(), 0700);
                }
                check(::rename(kept.c_str(), target.c_str()) == 0, "rename", kept);
            } else if (S_ISDIR(node.mode)) {
                check(::mkdir(target.c_str(), 0700) == 0, "mkdir", target);
            } else if (S_ISLNK(node.mode)) {
                check(::symlink(node.data.c_str(), target.c_str()) == 0, "symlink", target);
            } else if (S_ISREG(node.mode)) {
                writeFile(target, node.data);
            } else {
                throw std::runtime_error("no durable copy of " + target.string());
            }
            there = statusOf(target);
        }
        if (S_ISREG(node.mode) && readFile(target) != node.data) {
            const int file = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
            check(file >= 0, "open", target);
            const bool written = ::write(file, node.data.data(), node.data.size()) ==
                                 static_cast<ssize_t>(node.data.size());
            ::close(file);
            check(written, "write", target);
        }
    }
    for (auto entry = wanted.rbegin(); entry != wanted.rend(); ++entry) {
        const Node& node = durable_.at(entry->second);
        const fs::path target = root_ / entry->first;
        const std::optional<struct stat> info = statusOf(target);
        if (!S_ISLNK(node.mode) && info && (info->st_mode & 07777) != (node.mode & 07777)) {
            ::chmod(target.c_str(), node.mode & 07777);
        }
    }
    ::chmod(root_.c_str(), durable_.at(rootInode_).mode & 07777);

    // What the power cut took.
    openUp(aside);
    fs::remove_all(aside);
    captureAll();
}

}  // namespace tessela::testing
