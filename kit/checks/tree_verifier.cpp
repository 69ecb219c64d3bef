#include "checks/tree_verifier.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "activity/parallel_work.h"
#include "errors/tessela_error.h"
#include "files/file_type.h"
#include "files/file_walk.h"
#include "files/sha256.h"
#include "posix/system_error.h"
#include "posix/unique_fd.h"
#include "text/log.h"

namespace tessela {

namespace {

TesselaError couldNotRead(std::string_view what) {
    return TesselaError::copyFailed("Could not read " + std::string(what));
}

bool canReadAndSearch(const std::filesystem::path& directory) {
    return ::access(directory.c_str(), R_OK | X_OK) == 0;
}

std::string mismatchReason(const TreeVerifier::Entry& first, const TreeVerifier::Entry& second) {
    if (first.index() != second.index()) {
        return TreeMismatch::typeDiffers;
    }
    if (const auto* file = std::get_if<TreeVerifier::File>(&first)) {
        const auto& other = std::get<TreeVerifier::File>(second);
        if (file->size != other.size) {
            return TreeMismatch::sizeDiffers;
        }
        return file->digest != other.digest || file->digest.empty() ? TreeMismatch::contentDiffers
                                                                    : "";
    }
    if (const auto* link = std::get_if<TreeVerifier::Symlink>(&first)) {
        return link->target != std::get<TreeVerifier::Symlink>(second).target
                   ? TreeMismatch::linkTargetDiffers
                   : "";
    }
    if (const auto* other = std::get_if<TreeVerifier::Other>(&first)) {
        return other->typeName != std::get<TreeVerifier::Other>(second).typeName
                   ? TreeMismatch::typeDiffers
                   : "";
    }
    return "";
}

// Thrown inside one side's build when the other side has failed.
struct StoppedEarly {};

// Files from this size on are read in parallel ranges: through FUSE several reads at once
// finish sooner than one stream, and the hash (in order, on the calling thread) keeps up.
constexpr std::int64_t parallelFrom = 8 * TreeVerifier::readSize;
constexpr int rangeReaders = 3;
constexpr std::size_t ringSize = 2 * rangeReaders;

// Hashes `size` bytes of `fd` into `hash`: `rangeReaders` threads read the blocks into a ring of
// buffers, the calling thread hashes them in order. Returns false when the file ended early, and
// none when no reader thread could be started (nothing was hashed then).
std::optional<bool> hashInParallel(int fd, std::int64_t size, Sha256& hash,
                                   const std::filesystem::path& file, const CancelToken* cancel) {
    const auto blockSize = static_cast<std::int64_t>(TreeVerifier::readSize);
    const auto blocks = static_cast<std::size_t>((size + blockSize - 1) / blockSize);
    struct Slot {
        std::unique_ptr<unsigned char[]> bytes{new unsigned char[TreeVerifier::readSize]};
        std::size_t length = 0;
        bool ready = false;
        int error = 0;
    };
    std::vector<Slot> ring(ringSize);
    std::mutex lock;
    std::condition_variable changed;
    std::size_t hashed = 0;
    bool stopping = false;
    std::atomic<std::size_t> next{0};

    const auto read = [&] {
        for (std::size_t block = next++; block < blocks; block = next++) {
            {
                std::unique_lock guard(lock);
                changed.wait(guard, [&] { return block < hashed + ringSize || stopping; });
                if (stopping) {
                    return;
                }
            }
            Slot& slot = ring[block % ringSize];
            const auto offset = static_cast<std::int64_t>(block) * blockSize;
            const auto wanted = static_cast<std::size_t>(std::min(blockSize, size - offset));
            std::size_t got = 0;
            int error = 0;
            while (got < wanted) {
                const ssize_t count = ::pread(fd, slot.bytes.get() + got, wanted - got,
                                              static_cast<off_t>(offset) + static_cast<off_t>(got));
                if (count < 0 && errno == EINTR) {
                    continue;
                }
                if (count <= 0) {
                    error = count < 0 ? errno : 0;
                    break;
                }
                got += static_cast<std::size_t>(count);
            }
            const std::lock_guard guard(lock);
            slot.length = got;
            slot.error = error;
            slot.ready = true;
            changed.notify_all();
        }
    };
    struct Readers {
        std::vector<std::thread> threads;
        std::mutex& lock;
        std::condition_variable& changed;
        bool& stopping;
        ~Readers() {
            {
                const std::lock_guard guard(lock);
                stopping = true;
            }
            changed.notify_all();
            for (std::thread& thread : threads) {
                thread.join();
            }
        }
    } readers{{}, lock, changed, stopping};
    for (int reader = 0; reader < rangeReaders; ++reader) {
        try {
            readers.threads.emplace_back(read);
        } catch (const std::system_error&) {
            logCaught(LogLevel::info, {"Could not start another thread to read a large file"});
            break;
        }
    }
    if (readers.threads.empty()) {
        return std::nullopt;  // no thread to be had: one stream does it
    }
    for (std::size_t block = 0; block < blocks; ++block) {
        if (cancel != nullptr) {
            cancel->check();
        }
        Slot& slot = ring[block % ringSize];
        std::unique_lock guard(lock);
        changed.wait(guard, [&] { return slot.ready; });
        guard.unlock();
        if (slot.error != 0) {
            throw systemError(slot.error, "read", file);
        }
        if (!hash.add(slot.bytes.get(), slot.length)) {
            throw systemError(EIO, "SHA-256 for", file);
        }
        const auto expected = static_cast<std::size_t>(
            std::min(blockSize, size - static_cast<std::int64_t>(block) * blockSize));
        guard.lock();
        slot.ready = false;
        ++hashed;
        changed.notify_all();
        if (slot.length < expected) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::vector<TreeMismatch> TreeVerifier::compare(const std::filesystem::path& source,
                                                const std::filesystem::path& copy,
                                                const std::set<std::string>& ignoringAtRoot,
                                                const CancelToken* cancel) {
    std::atomic<bool> stopCopy{false};
    std::atomic<bool> stopSource{false};
    // Exceptions of the copy's thread travel back through the future.
    std::future<Manifest> copyManifest = std::async(std::launch::async, [&] {
        try {
            return buildManifest(copy, ignoringAtRoot, cancel, &stopCopy);
        } catch (...) {
            stopSource = true;
            throw;
        }
    });
    Manifest sourceManifest;
    try {
        sourceManifest = buildManifest(source, ignoringAtRoot, cancel, &stopSource);
    } catch (const StoppedEarly&) {
        // The copy's side failed first: its failure is the one to report.
        (void)copyManifest.get();
        throw TesselaError::cancelled();
    } catch (...) {
        stopCopy = true;
        copyManifest.wait();
        throw;
    }
    return differences(sourceManifest, copyManifest.get(), {});
}

std::vector<TreeMismatch> TreeVerifier::compare(const Manifest& source,
                                                const std::filesystem::path& copy,
                                                const std::set<std::string>& ignoringAtRoot,
                                                const CancelToken* cancel) {
    return differences(source,
                       buildManifest(copy, ignoringAtRoot, cancel, nullptr, 2 * hashStreams),
                       ignoringAtRoot);
}

std::vector<TreeMismatch> TreeVerifier::differences(const Manifest& sourceManifest,
                                                    const Manifest& copiedManifest,
                                                    const std::set<std::string>& ignoringAtRoot) {
    std::vector<TreeMismatch> mismatches;
    auto sourceEntry = sourceManifest.begin();
    auto copyEntry = copiedManifest.begin();
    // The source's entries under an ignored name are passed over where they stand (the copy's
    // manifest was built without them), rather than copied out of a large manifest.
    const auto skipIgnored = [&] {
        while (
            sourceEntry != sourceManifest.end() &&
            ignoringAtRoot.contains(sourceEntry->first.substr(0, sourceEntry->first.find('/')))) {
            ++sourceEntry;
        }
    };
    // Both maps are sorted by path: walk them together over the union of their keys.
    for (skipIgnored(); sourceEntry != sourceManifest.end() || copyEntry != copiedManifest.end();
         skipIgnored()) {
        if (copyEntry == copiedManifest.end() ||
            (sourceEntry != sourceManifest.end() && sourceEntry->first < copyEntry->first)) {
            mismatches.push_back({sourceEntry->first, TreeMismatch::missingFromCopy});
            ++sourceEntry;
        } else if (sourceEntry == sourceManifest.end() || copyEntry->first < sourceEntry->first) {
            mismatches.push_back({copyEntry->first, TreeMismatch::extraInCopy});
            ++copyEntry;
        } else {
            if (std::string reason = mismatchReason(sourceEntry->second, copyEntry->second);
                !reason.empty()) {
                mismatches.push_back({sourceEntry->first, std::move(reason)});
            }
            ++sourceEntry;
            ++copyEntry;
        }
    }
    return mismatches;
}

TreeVerifier::Manifest TreeVerifier::manifest(const std::filesystem::path& root,
                                              const std::set<std::string>& ignoringAtRoot,
                                              const CancelToken* cancel) {
    return buildManifest(root, ignoringAtRoot, cancel, nullptr);
}

TreeVerifier::Manifest TreeVerifier::buildManifest(const std::filesystem::path& root,
                                                   const std::set<std::string>& ignoringAtRoot,
                                                   const CancelToken* cancel,
                                                   const std::atomic<bool>* stop, int streams) {
    // A file item is one large read: the cancel reaches into it as into a folder's files.
    Entry rootEntry = streams > 0 ? entry(root, cancel) : entryWithoutDigest(root);
    if (!std::holds_alternative<Directory>(rootEntry)) {
        return {{"", std::move(rootEntry)}};
    }
    const std::string rootName =
        root.filename().empty() ? root.parent_path().filename().string() : root.filename().string();
    if (!canReadAndSearch(root)) {
        throw couldNotRead(rootName);
    }
    Manifest result;
    // Files are hashed after the walk, several at a time: reading through FUSE is bound by
    // round trips more than by the disk, so parallel reads finish sooner.
    std::vector<std::pair<File*, std::filesystem::path>> toHash;
    try {
        FileWalk::walk(root, [&](const FileWalk::Entry& walked) {
            if (cancel != nullptr) {
                cancel->check();
            }
            if (stop != nullptr && *stop) {
                throw StoppedEarly{};
            }
            if (walked.relativePath.find('/') == std::string::npos &&
                ignoringAtRoot.contains(walked.relativePath)) {
                return FileWalk::Next::skipDescendants;
            }
            if (walked.problem) {
                throw couldNotRead(walked.relativePath);
            }
            const std::filesystem::path location = root / walked.relativePath;
            Entry built = entryWithoutDigest(location);
            if (std::holds_alternative<Directory>(built) && !canReadAndSearch(location)) {
                throw couldNotRead(walked.relativePath);
            }
            auto [position, inserted] = result.emplace(walked.relativePath, std::move(built));
            if (auto* file = std::get_if<File>(&position->second); file != nullptr && inserted) {
                toHash.emplace_back(file, location);
            }
            return FileWalk::Next::descend;
        });
    } catch (const FileWalk::WalkError& error) {
        // Debug only: the path names a file inside the item, which the journal must not keep.
        logMessage(LogLevel::debug, {"Could not read ", error.path(),
                                     " to verify it: ", std::strerror(error.code())});
        throw couldNotRead(rootName);
    }
    if (streams > 0) {
        hashFiles(toHash, streams, cancel, stop);
    }
    return result;
}

std::vector<TreeMismatch> TreeVerifier::compareShape(const Manifest& manifest,
                                                     const std::filesystem::path& copy,
                                                     const std::set<std::string>& ignoringAtRoot,
                                                     const CancelToken* cancel) {
    // The same stand-in for every digest: only what the entries are is compared.
    const auto withoutContent = [](Manifest entries) {
        for (auto& [path, entry] : entries) {
            if (auto* file = std::get_if<File>(&entry)) {
                file->digest = "-";
            }
        }
        return entries;
    };
    return differences(withoutContent(manifest),
                       withoutContent(buildManifest(copy, ignoringAtRoot, cancel, nullptr, 0)),
                       ignoringAtRoot);
}

void TreeVerifier::hashFiles(const std::vector<std::pair<File*, std::filesystem::path>>& files,
                             int streams, const CancelToken* cancel,
                             const std::atomic<bool>* stop) {
    forEachInParallel(files.size(), streams, [&](std::size_t index) {
        if (cancel != nullptr) {
            cancel->check();
        }
        if (stop != nullptr && *stop) {
            throw StoppedEarly{};
        }
        files[index].first->digest = digest(files[index].second, cancel);
    });
}

TreeVerifier::Entry TreeVerifier::entry(const std::filesystem::path& location,
                                        const CancelToken* cancel) {
    Entry built = entryWithoutDigest(location);
    if (auto* file = std::get_if<File>(&built)) {
        file->digest = digest(location, cancel);
    }
    return built;
}

TreeVerifier::Entry TreeVerifier::entryWithoutDigest(const std::filesystem::path& location) {
    struct stat info {};
    if (::lstat(location.c_str(), &info) != 0) {
        throwLastError("lstat", location);
    }
    if (S_ISDIR(info.st_mode)) {
        return Directory{};
    }
    if (S_ISLNK(info.st_mode)) {
        std::string target(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 256), '\0');
        for (;;) {
            const ssize_t length = ::readlink(location.c_str(), target.data(), target.size());
            if (length < 0) {
                throwLastError("readlink", location);
            }
            if (static_cast<std::size_t>(length) < target.size()) {
                target.resize(static_cast<std::size_t>(length));
                return Symlink{target};
            }
            target.resize(target.size() * 2);  // the link grew since lstat
        }
    }
    if (S_ISREG(info.st_mode)) {
        return File{info.st_size, {}};
    }
    return Other{std::string(fileTypeName(info.st_mode))};
}

std::string TreeVerifier::digest(const std::filesystem::path& file, const CancelToken* cancel) {
    const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) {
        throwLastError("open", file);
    }
    // Read-ahead for one front-to-back pass; only a hint.
    ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    Sha256 hash;
    if (!hash.ready()) {
        throw systemError(ENOMEM, "SHA-256 for", file);
    }
    // A large file's length as it was when opened is read in parallel ranges; whatever follows
    // it (a file that grew) in one stream below.
    struct stat info {};
    off_t position = 0;
    if (::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= parallelFrom) {
        const std::optional<bool> whole =
            hashInParallel(fd.get(), info.st_size, hash, file, cancel);
        if (whole && !*whole) {
            std::optional<std::string> text = hash.hexDigest();
            if (!text) {
                throw systemError(EIO, "SHA-256 for", file);
            }
            return *text;  // it ended early: what was there is what it holds
        }
        position = whole ? info.st_size : 0;
    }
    const std::unique_ptr<unsigned char[]> buffer(new unsigned char[readSize]);
    for (;;) {
        if (cancel != nullptr) {
            cancel->check();
        }
        const ssize_t count = ::pread(fd.get(), buffer.get(), readSize, position);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            throwLastError("read", file);
        }
        if (count == 0) {
            break;
        }
        position += count;
        if (!hash.add(buffer.get(), static_cast<std::size_t>(count))) {
            throw systemError(EIO, "SHA-256 for", file);
        }
    }
    std::optional<std::string> text = hash.hexDigest();
    if (!text) {
        throw systemError(EIO, "SHA-256 for", file);
    }
    return *text;
}

namespace {

// The "user." attributes of the entry at `path` (never followed), by name; none where the file
// system keeps none. Unreadable: none (the source side) or an error (the copy side).
std::optional<std::map<std::string, std::string>> userAttributes(
    const std::filesystem::path& path) {
    std::map<std::string, std::string> attributes;
    std::string names(4096, '\0');
    ssize_t length = -1;
    for (int attempt = 0; attempt < 8; ++attempt) {
        length = ::llistxattr(path.c_str(), names.data(), names.size());
        if (length >= 0 || errno != ERANGE) {
            break;
        }
        names.resize(names.size() * 4);
    }
    if (length < 0) {
        if (errno == ENOTSUP || errno == EOPNOTSUPP) {
            return attributes;
        }
        return std::nullopt;
    }
    for (std::size_t start = 0; start < static_cast<std::size_t>(length);) {
        const std::string name = names.c_str() + start;
        start += name.size() + 1;
        if (!name.starts_with("user.")) {
            continue;
        }
        std::string value(65536, '\0');
        const ssize_t size = ::lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
        if (size < 0) {
            return std::nullopt;
        }
        value.resize(static_cast<std::size_t>(size));
        attributes.emplace(name, std::move(value));
    }
    return attributes;
}

}  // namespace

std::vector<TreeMismatch> TreeVerifier::compareUserAttributes(const std::filesystem::path& source,
                                                              const std::filesystem::path& copy,
                                                              const Manifest& manifest,
                                                              const CancelToken* cancel) {
    std::vector<TreeMismatch> mismatches;
    for (const auto& [relative, entry] : manifest) {
        if (cancel != nullptr) {
            cancel->check();
        }
        const std::filesystem::path at = relative.empty() ? source : source / relative;
        const auto theirs = userAttributes(at);
        if (!theirs || theirs->empty()) {
            continue;
        }
        const auto ours = userAttributes(relative.empty() ? copy : copy / relative);
        if (!ours || *ours != *theirs) {
            mismatches.push_back({relative, TreeMismatch::contentDiffers});
        }
    }
    return mismatches;
}

}  // namespace tessela
