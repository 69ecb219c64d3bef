#include "engine/locker.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "activity/parallel_work.h"
#include "checks/cloud_files.h"
#include "checks/deletability.h"
#include "checks/file_walk.h"
#include "checks/item_facts.h"
#include "checks/open_files.h"
#include "checks/real_path.h"
#include "errors/tessela_error.h"
#include "posix/file_io.h"
#include "posix/system_error.h"
#include "posix/unique_fd.h"
#include "process/process_runner.h"
#include "records/bookmark.h"
#include "text/utf8.h"

namespace tessela {

namespace {

// gocryptfs' on-disk format: an 18-byte header per file and 32 bytes (nonce and tag) per 4 KiB
// block of content.
constexpr std::int64_t blockSize = 4096;
constexpr std::int64_t fileHeaderBytes = 18;
constexpr std::int64_t blockOverheadBytes = 32;

// Whether the desktop knows the extension as a content type of its own.
bool isKnownExtension(const std::string& extension) {
    const std::string probe = "file." + extension;
    gboolean uncertain = FALSE;
    const std::unique_ptr<gchar, decltype(&g_free)> type(
        g_content_type_guess(probe.c_str(), nullptr, 0, &uncertain), &g_free);
    return type && !uncertain && std::string_view(type.get()) != "application/octet-stream";
}

std::string extensionOf(const std::string& name) {
    const std::string extension = std::filesystem::path(name).extension().string();
    return extension.empty() ? "" : extension.substr(1);
}

std::string stemOf(const std::string& name) {
    return std::filesystem::path(name).stem().string();
}

}  // namespace

Locker::Locker(const std::filesystem::path& supportDirectory, const std::filesystem::path& home,
               const std::optional<std::filesystem::path>& appBundle, DiskImageTool diskImageTool)
    : tool(std::move(diskImageTool)),
      index(supportDirectory / ItemIndex::fileName),
      journal(supportDirectory / OperationJournal::fileName),
      mountsRoot(supportDirectory / "Open"),
      policy(home, mountsRoot, appBundle),
      flushVolume(&Locker::fullSync),
      deleteRenamedOriginal(&Locker::removeOwnedTree) {}

LockedItem Locker::freshRecord(const Uuid& id, std::string name, LockedItem::Kind kind,
                               const std::filesystem::path& locked, std::int64_t generation) {
    LockedItem record;
    record.id = id;
    record.displayName = std::move(name);
    record.kind = kind;
    record.bookmark = Bookmark::make(locked);
    record.lastKnownPath = locked.string();
    record.createdAt = nowInWholeSeconds();
    record.passwordGeneration = generation;
    record.stage = LockedItem::Stage::complete;
    return record;
}

void Locker::undoUnfinished(const std::filesystem::path& mountPoint, const Folder& parent,
                            const std::optional<Built>& built, const Uuid& id) noexcept {
    bool undone = true;
    try {
        tool.detach(mountPoint, true);
    } catch (...) {
        // Nothing mounted there, or the detach failed: removing the folder tells which.
    }
    undone = removeMountPoint(mountPoint) && undone;
    try {
        // A half-restored copy holds decrypted files, and may hold read-only folders: it is
        // made deletable on the way, never left behind quietly.
        if (built) {
            parent.removeTree(built->name, {built->identity, std::nullopt});
        }
    } catch (...) {
        undone = false;
    }
    if (!undone) {
        return;  // the journal entry stays: recovery finishes the clean-up at the next start
    }
    try {
        journal.remove(id);
    } catch (...) {
    }
}

void Locker::passCrashPoint(CrashPoint point) const {
    if (crashPoint == point) {
        throw SimulatedCrash();
    }
}

std::string Locker::itemName(const std::optional<ItemMarker>& marker,
                             const std::optional<LockedItem>& record,
                             const std::filesystem::path& locked) {
    if (marker && ItemMarker::isSafeName(marker->name)) {
        return marker->name;
    }
    if (record && ItemMarker::isSafeName(record->displayName)) {
        return record->displayName;
    }
    // The last path component without its extension; ".tessvault" alone gives an empty stem.
    std::filesystem::path last = locked;
    while (!last.has_filename() && last.has_parent_path() && last != last.root_path()) {
        last = last.parent_path();
    }
    std::string stem = last.filename().string();
    if (const auto dot = stem.rfind('.'); dot != std::string::npos) {
        stem.erase(dot);
    }
    if (ItemMarker::isSafeName(stem)) {
        return stem;
    }
    return "Tessela item";
}

std::string Locker::lockedBaseName(const std::string& name, bool isFileOrPackage) {
    if (!isFileOrPackage) {
        return name;
    }
    const std::string extension = extensionOf(name);
    if (extension.empty() || !isKnownExtension(extension)) {
        return name;
    }
    const std::string stem = stemOf(name);
    const std::string inner = extensionOf(stem);
    if (!inner.empty() && isKnownExtension(inner)) {
        return stemOf(stem);
    }
    return stem;
}

std::filesystem::path Locker::availableLockedURL(const std::string& base,
                                                 const std::filesystem::path& parent) {
    const std::string shortened = shortenUtf8(base, lockedBaseLimit);
    std::filesystem::path candidate = parent / (shortened + std::string(lockedExtension));
    for (int number = 2; posix::exists(candidate); ++number) {
        candidate =
            parent / (shortened + " " + std::to_string(number) + std::string(lockedExtension));
    }
    return candidate;
}

std::string Locker::volumeName(const std::string& name) {
    return shortenUtf8(name, volumeNameLimit);
}

void Locker::renameExclusively(const std::filesystem::path& from, const std::filesystem::path& to) {
    const Folder source = Folder::open(from.parent_path());
    if (from.parent_path() == to.parent_path()) {
        source.renameExclusively(from.filename().string(), source, to.filename().string());
    } else {
        source.renameExclusively(from.filename().string(), Folder::open(to.parent_path()),
                                 to.filename().string());
    }
}

void Locker::putBackBeside(const Folder& parent, const std::string& hidden,
                           const std::string& name) {
    try {
        parent.renameExclusively(hidden, parent, name);
    } catch (const std::system_error&) {
        // The name was taken meanwhile: beside it, under a free name.
        parent.renameExclusively(hidden, parent,
                                 restoreDestination(name, parent.path()).filename().string());
    }
}

std::string Locker::hiddenName(const Uuid& id, std::string_view suffix) {
    return ".tessela-" + id.string() + std::string(suffix);
}

std::string Locker::deletingNameIn(const Folder& folder, const Uuid& id) {
    const std::string usual = hiddenName(id, deletingSuffix);
    if (!folder.contains(usual)) {
        return usual;
    }
    return hiddenName(id, "." + Uuid::random().string().substr(0, 8) + std::string(deletingSuffix));
}

bool Locker::isDeletingName(std::string_view name, const Uuid& id) {
    const std::string prefix = ".tessela-" + id.string() + ".";
    return name == hiddenName(id, deletingSuffix) ||
           (name.size() == prefix.size() + 8 + deletingSuffix.size() && name.starts_with(prefix) &&
            name.ends_with(deletingSuffix) && name.find('/') == std::string_view::npos);
}

std::vector<std::string> Locker::writersOf(const std::filesystem::path& item) const {
    return OpenFiles::writerNames(OpenFiles::holders(item, OpenFiles::defaultTimeout, lsofPath));
}

void Locker::fullSync(const std::filesystem::path& item) {
    const UniqueFd fd(::open(item.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        throwLastError("open", item);
    }
    // syncfs flushes the whole file system, including the image's files next to the item.
    if (::syncfs(fd.get()) == 0) {
        return;
    }
    int result;
    do {
        result = ::fsync(fd.get());
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        throwLastError("fsync", item);
    }
}

bool Locker::removeOwnedTree(const std::filesystem::path& tree, const Folder::RemovalGuard& guard) {
    return Folder::open(tree.parent_path()).removeTree(tree.filename().string(), guard);
}

std::optional<std::int64_t> Locker::availableSpace(const std::filesystem::path& location) {
    struct statvfs info {};
    if (::statvfs(location.c_str(), &info) != 0) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(info.f_bavail) * static_cast<std::int64_t>(info.f_frsize);
}

bool Locker::setHiddenExtension(const std::filesystem::path&) {
    return true;
}

std::int64_t Locker::containerOverhead(const std::filesystem::path& content) {
    const auto fileOverhead = [](std::int64_t size) {
        const std::int64_t blocks = (size + blockSize - 1) / blockSize;
        return fileHeaderBytes + blocks * blockOverheadBytes + blockSize;
    };
    // The volume root: its name-key file, the marker and the indexer stop file.
    std::int64_t overhead = 4 * blockSize;
    struct stat info {};
    if (::lstat(content.c_str(), &info) != 0) {
        return overhead;
    }
    if (!S_ISDIR(info.st_mode)) {
        return overhead + fileOverhead(info.st_size);
    }
    try {
        FileWalk::walk(content, [&](const FileWalk::Entry& entry) {
            if (entry.isDirectory) {
                overhead += 2 * blockSize;
            } else if (S_ISREG(entry.info.st_mode)) {
                overhead += fileOverhead(entry.info.st_size);
            } else {
                overhead += blockSize;
            }
            return FileWalk::Next::descend;
        });
    } catch (const FileWalk::WalkError&) {
    }
    return overhead;
}

void Locker::makeMountPoint(const std::filesystem::path& mountPoint) const {
    posix::createDirectories(mountsRoot, 0700);
    const Folder mounts = Folder::open(mountsRoot);
    if (::fchmod(mounts.fd(), 0700) != 0) {
        throwLastError("chmod", mountsRoot);
    }
    // fusermount wants the mount folder writable by the user.
    const int made = ::mkdirat(mounts.fd(), mountPoint.filename().c_str(), 0700);
    const int error = errno;
    if (::fchmod(mounts.fd(), 0500) != 0) {
        // Left open, the mounts folder would let anything recreate a closed item's folder and
        // leave plain content where the encrypted volume was.
        const int closeError = errno;
        if (made == 0) {
            ::unlinkat(mounts.fd(), mountPoint.filename().c_str(), AT_REMOVEDIR);
        }
        throw systemError(closeError, "chmod 0500", mountsRoot);
    }
    if (made != 0 && error != EEXIST) {
        throw systemError(error, "mkdir", mountPoint);
    }
}

bool Locker::removeMountPoint(const std::filesystem::path& mountPoint) const noexcept {
    const UniqueFd mounts(::open(mountsRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!mounts) {
        return errno == ENOENT;
    }
    ::fchmod(mounts.get(), 0700);
    const bool removed =
        ::unlinkat(mounts.get(), mountPoint.filename().c_str(), AT_REMOVEDIR) == 0 ||
        errno == ENOENT;
    const bool closed = ::fchmod(mounts.get(), 0500) == 0;
    return removed && closed;
}

std::optional<std::int64_t> Locker::freeSpace(const std::filesystem::path& location) const {
    return spaceProbe ? spaceProbe(location) : availableSpace(location);
}

void Locker::runCopyTool(const std::vector<std::filesystem::path>& sources, const Folder& into,
                         const std::string& destination, const CancelToken* cancel) const {
    std::vector<std::string> arguments = {"-a", "--reflink=auto", "--"};
    for (const std::filesystem::path& source : sources) {
        arguments.push_back(source.string());
    }
    arguments.push_back(destination);
    const ProcessResult result =
        ProcessRunner::run(copyTool, arguments, std::nullopt, std::nullopt, cancel, into.fd());
    if (result.status != 0 || result.signalled) {
        // cp names itself as it was started ("/usr/bin/cp: cannot open …"): that prefix is
        // the tool's, not the message's.
        std::string message = DiskImageTool::clean(result.output);
        for (const std::string& prefix : {copyTool + ": ", std::string("cp: ")}) {
            for (auto found = message.find(prefix); found != std::string::npos;
                 found = message.find(prefix, found)) {
                message.erase(found, prefix.size());
            }
        }
        throw TesselaError::copyFailed(message.empty() ? "The copy tool failed." : message);
    }
}

void Locker::copy(const std::filesystem::path& from, const std::filesystem::path& to,
                  const CancelToken* cancel) const {
    struct stat source {};
    struct stat destination {};
    const bool intoFolder = ::lstat(from.c_str(), &source) == 0 && S_ISDIR(source.st_mode) &&
                            ::stat(to.c_str(), &destination) == 0 && S_ISDIR(destination.st_mode);
    if (intoFolder) {
        copyInto(from, Folder::open(to), "", {}, cancel);
    } else {
        copyInto(from, Folder::open(to.parent_path()), to.filename().string(), {}, cancel);
    }
}

void Locker::copyInto(const std::filesystem::path& from, const Folder& into,
                      const std::string& name, const std::set<std::string>& skipping,
                      const CancelToken* cancel, std::optional<mode_t> rootMode) const {
    struct stat source {};
    if (::lstat(from.c_str(), &source) != 0) {
        throwLastError("lstat", from);
    }
    if (!S_ISDIR(source.st_mode)) {
        runCopyTool({from}, into, name, cancel);
        return;
    }
    // cp -a makes each folder with its final mode before filling it; in a FUSE volume a
    // read-only folder then refuses its own content. So every folder is made first, writable
    // by its owner, and cp fills it and gives it its own mode once it is full.
    std::vector<std::filesystem::path> entries;
    std::vector<std::string> folders;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(from, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string entryName = entry->path().filename().string();
        if (!skipping.contains(entryName)) {
            entries.push_back(entry->path());
        }
    }
    if (error) {
        throw systemError(error.value(), "list", from);
    }
    for (const std::filesystem::path& entry : entries) {
        struct stat info {};
        if (::lstat(entry.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            const std::string top = entry.filename().string();
            folders.push_back(top);
            try {
                FileWalk::walk(entry, [&](const FileWalk::Entry& walked) {
                    if (walked.isDirectory) {
                        folders.push_back(top + "/" + walked.relativePath);
                    }
                    return FileWalk::Next::descend;
                });
            } catch (const FileWalk::WalkError&) {
                // cp reports what it cannot read.
            }
        }
    }
    const std::filesystem::path base = into.descriptorPath();
    for (const std::string& folder : folders) {
        if (::mkdir((base / folder).c_str(), 0700) != 0 && errno != EEXIST) {
            throwLastError("mkdir", into.path() / folder);
        }
    }
    copyEntries(entries, into, cancel);
    copyFolderAttributes(from, into, rootMode);
}

void Locker::copyEntries(const std::vector<std::filesystem::path>& sources, const Folder& into,
                         const CancelToken* cancel) const {
    // Each file created in the container costs several round trips through FUSE, so several
    // copy processes work side by side, the largest entries first.
    std::vector<std::pair<std::int64_t, std::filesystem::path>> entries;
    for (const std::filesystem::path& source : sources) {
        entries.emplace_back(ItemFacts::logicalSize(source), source);
    }
    std::sort(entries.begin(), entries.end(), std::greater<>());
    const std::size_t batchCount =
        std::min<std::size_t>(entries.size(), std::size_t{4} * copyStreams);
    std::vector<std::vector<std::filesystem::path>> batches(batchCount);
    std::vector<std::int64_t> batchSizes(batchCount, 0);
    for (const auto& [size, path] : entries) {
        const auto smallest = static_cast<std::size_t>(
            std::min_element(batchSizes.begin(), batchSizes.end()) - batchSizes.begin());
        batches[smallest].push_back(path);
        batchSizes[smallest] += size + 1;
    }

    forEachInParallel(batches.size(), copyStreams,
                      [&](std::size_t batch) { runCopyTool(batches[batch], into, ".", cancel); });
}

void Locker::copyFolderAttributes(const std::filesystem::path& from, const Folder& to,
                                  std::optional<mode_t> mode) {
    struct stat source {};
    if (::lstat(from.c_str(), &source) != 0) {
        throwLastError("lstat", from);
    }
    // Extended attributes first: some file systems refuse some of them, which a full copy
    // tolerates just as cp -a does.
    const ssize_t listSize = ::llistxattr(from.c_str(), nullptr, 0);
    if (listSize > 0) {
        std::string names(static_cast<std::size_t>(listSize), '\0');
        const ssize_t length = ::llistxattr(from.c_str(), names.data(), names.size());
        for (std::size_t start = 0; length > 0 && start < static_cast<std::size_t>(length);) {
            const std::string name = names.c_str() + start;
            start += name.size() + 1;
            const ssize_t valueSize = ::lgetxattr(from.c_str(), name.c_str(), nullptr, 0);
            if (valueSize < 0) {
                continue;
            }
            std::string value(static_cast<std::size_t>(valueSize), '\0');
            if (::lgetxattr(from.c_str(), name.c_str(), value.data(), value.size()) == valueSize) {
                ::fsetxattr(to.fd(), name.c_str(), value.data(), value.size(), 0);
            }
        }
    }
    // The owner as cp -a keeps it: root gives the folder back to its owner; anyone else keeps
    // at least the group where they belong to it. Before the mode, which a change of owner can
    // clear bits of.
    if (::fchown(to.fd(), source.st_uid, source.st_gid) != 0) {
        [[maybe_unused]] const int ignored =
            ::fchown(to.fd(), static_cast<uid_t>(-1), source.st_gid);
    }
    if (::fchmod(to.fd(), mode.value_or(source.st_mode & 07777)) != 0) {
        throwLastError("chmod", to.path());
    }
    const struct timespec times[2] = {source.st_atim, source.st_mtim};
    if (::futimens(to.fd(), times) != 0) {
        throwLastError("utimensat", to.path());
    }
}

bool Locker::waitForCloudDownloads(const std::filesystem::path& item, const std::string& name,
                                   const CancelToken* cancel,
                                   const ProgressCallback& progress) const {
    std::vector<std::filesystem::path> missing = CloudFiles::notDownloaded(item);
    if (missing.empty()) {
        return false;
    }
    if (progress) {
        progress(LockStep::downloading);
    }
    CloudFiles::requestDownload(missing);
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(cloudDownloadTimeout));
    while (std::chrono::steady_clock::now() < deadline) {
        if (cancel != nullptr && cancel->isCancelled()) {
            break;
        }
        const auto left = deadline - std::chrono::steady_clock::now();
        std::this_thread::sleep_for(
            std::max(std::chrono::steady_clock::duration::zero(),
                     std::min<std::chrono::steady_clock::duration>(std::chrono::seconds(1), left)));
        missing = CloudFiles::notDownloaded(item);
        if (missing.empty()) {
            break;
        }
    }
    if (cancel != nullptr) {
        cancel->check();
    }
    if (!missing.empty()) {
        throw TesselaError::stillInICloud(name);
    }
    return true;
}

}  // namespace tessela
