#include "checks/tree_verifier.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "activity/parallel_work.h"
#include "errors/tessela_error.h"
#include "files/file_type.h"
#include "files/file_walk.h"
#include "files/sha256.h"
#include "posix/system_error.h"
#include "posix/unique_fd.h"

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
    return differences(sourceManifest, copyManifest.get());
}

std::vector<TreeMismatch> TreeVerifier::compare(const Manifest& source,
                                                const std::filesystem::path& copy,
                                                const std::set<std::string>& ignoringAtRoot,
                                                const CancelToken* cancel) {
    Manifest sourceManifest;
    for (const auto& [path, entry] : source) {
        const std::string top = path.substr(0, path.find('/'));
        if (!ignoringAtRoot.contains(top)) {
            sourceManifest.emplace(path, entry);
        }
    }
    return differences(sourceManifest,
                       buildManifest(copy, ignoringAtRoot, cancel, nullptr, 2 * hashStreams));
}

std::vector<TreeMismatch> TreeVerifier::differences(const Manifest& sourceManifest,
                                                    const Manifest& copiedManifest) {
    std::vector<TreeMismatch> mismatches;
    auto sourceEntry = sourceManifest.begin();
    auto copyEntry = copiedManifest.begin();
    // Both maps are sorted by path: walk them together over the union of their keys.
    while (sourceEntry != sourceManifest.end() || copyEntry != copiedManifest.end()) {
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
    Entry rootEntry = entry(root);
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
    } catch (const FileWalk::WalkError&) {
        throw couldNotRead(rootName);
    }
    hashFiles(toHash, streams, cancel, stop);
    return result;
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

TreeVerifier::Entry TreeVerifier::entry(const std::filesystem::path& location) {
    Entry built = entryWithoutDigest(location);
    if (auto* file = std::get_if<File>(&built)) {
        file->digest = digest(location);
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
    const std::unique_ptr<unsigned char[]> buffer(new unsigned char[readSize]);
    for (;;) {
        if (cancel != nullptr) {
            cancel->check();
        }
        const ssize_t count = ::read(fd.get(), buffer.get(), readSize);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            throwLastError("read", file);
        }
        if (count == 0) {
            break;
        }
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

}  // namespace tessela
