#include "engine/engine_parts.h"

#include <linux/magic.h>
#include <sys/vfs.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <openssl/crypto.h>

#include "checks/cloud_files.h"
#include "checks/open_files.h"
#include "container/secret_bytes.h"
#include "engine/locked_names.h"
#include "errors/tessela_error.h"
#include "records/bookmark.h"
#include "text/log.h"

namespace tessela {

namespace {

DiskImageTool withBlockerCheck(DiskImageTool tool, const std::string& lsofPath) {
    if (tool.tools().blockers) {
        return tool;
    }
    return tool.withBlockers(OpenFiles::blockerCheck(lsofPath));
}

}  // namespace

EngineParts::EngineParts(const std::filesystem::path& supportDirectory,
                         const std::filesystem::path& home,
                         const std::optional<std::filesystem::path>& appBundle,
                         DiskImageTool diskImageTool, LockerOptions lockerOptions)
    : options(std::move(lockerOptions)),
      fileSystem(options.fileSystem != nullptr ? options.fileSystem : &FileSystem::real()),
      tool(withBlockerCheck(std::move(diskImageTool), options.lsofPath)),
      index(supportDirectory / ItemIndex::fileName, *fileSystem, options.readOnly),
      journal(supportDirectory / OperationJournal::fileName, *fileSystem, options.readOnly),
      mounts(supportDirectory / "Open", *fileSystem),
      policy(home, mounts.root(), appBundle),
      copier(*fileSystem) {}

void EngineParts::passCrashPoint(CrashPoint point) const {
    if (options.crashPoint == point) {
        throw SimulatedCrash();
    }
}

std::vector<std::string> EngineParts::writersOf(const std::filesystem::path& item) const {
    return OpenFiles::writerNames(
        OpenFiles::holders(item, OpenFiles::defaultTimeout, options.lsofPath));
}

void EngineParts::refuseWriters(const std::filesystem::path& item) const {
    if (std::vector<std::string> writers = writersOf(item); !writers.empty()) {
        throw TesselaError::inUse(std::move(writers));
    }
}

void EngineParts::putBackBeside(const Folder& parent, const std::string& hidden,
                                const std::string& name) const {
    try {
        fileSystem->renameExclusively(parent, hidden, parent, name);
    } catch (const std::system_error&) {
        // The name was taken meanwhile: beside it, under a free name.
        logCaught(LogLevel::debug, {"Could not put ", parent.path() / hidden, " back as ", name,
                                    "; it goes beside it"});
        fileSystem->renameExclusively(
            parent, hidden, parent,
            LockedNames::restoreDestination(name, parent.path()).filename().string());
    }
    // Back in view on disk before anything forgets where it was.
    fileSystem->syncFolder(parent);
}

namespace {

// The threads deriving keys, a cancel having left some to finish on their own. The process
// joins them as it ends, so that none still runs (or is still being torn down) while the crypto
// library's own clean-up at exit runs: the library is set up before this list is made, so its
// clean-up comes after the list's.
class LeftRunning {
  public:
    void add(std::thread thread) {
        const std::lock_guard guard(lock_);
        // Those that said they were done are joined now (a moment at most).
        for (auto running = threads_.begin(); running != threads_.end();) {
            if (done_.erase(running->get_id()) > 0) {
                running->join();
                running = threads_.erase(running);
            } else {
                ++running;
            }
        }
        try {
            threads_.push_back(std::move(thread));
        } catch (...) {
            thread.join();
            throw;
        }
    }
    void done(std::thread::id id) {
        const std::lock_guard guard(lock_);
        done_.insert(id);
    }
    ~LeftRunning() {
        std::vector<std::thread> threads;
        {
            const std::lock_guard guard(lock_);
            threads.swap(threads_);
        }
        for (std::thread& running : threads) {
            running.join();  // without the lock, which a thread takes to say it is done
        }
    }

  private:
    std::mutex lock_;
    std::vector<std::thread> threads_;
    std::set<std::thread::id> done_;
};

// Wipes the stack below the caller: what the crypto library's functions left there (their
// intermediate values, a derived key among them) is gone before the thread goes on, as a
// finished thread's stack stays mapped for the next thread to reuse.
[[gnu::noinline]] void wipeStackBelow() {
    std::array<unsigned char, 256 * 1024> below;
    OPENSSL_cleanse(below.data(), below.size());
}

LeftRunning& leftRunning() {
    [[maybe_unused]] static const bool cryptoReady = OPENSSL_init_crypto(0, nullptr) == 1;
    static LeftRunning derivations;
    return derivations;
}

}  // namespace

// A cancel leaves the derivation's thread to finish alone, with its own copies of the folder
// and the password; what it derives then is wiped unused when the last holder lets go.
struct EngineParts::PendingKeys::Derivation {
    std::mutex lock;
    std::condition_variable finished;
    std::optional<std::variant<ContainerKeys, std::string>> outcome;
};

EngineParts::PendingKeys EngineParts::startContainerKeys(const Folder& container,
                                                         const std::string& password) {
    using Derivation = PendingKeys::Derivation;
    struct Work {
        std::shared_ptr<Derivation> shared;
        Folder folder;
        SecretBytes secret;
    };
    auto shared = std::make_shared<Derivation>();
    LeftRunning& running = leftRunning();
    try {
        SecretBytes secret(password.size());
        std::memcpy(secret.bytes().data(), password.data(), password.size());
        auto work = std::make_unique<Work>(
            Work{shared, Folder::open(container.descriptorPath()), std::move(secret)});
        // A thread done before it is listed is joined at the next start, or at exit.
        std::thread thread([work = std::move(work), &running]() mutable {
            {
                const std::unique_ptr<Work> own = std::move(work);
                std::variant<ContainerKeys, std::string> outcome = std::string();
                try {
                    outcome = ContainerKeys::unlock(
                        own->folder, {reinterpret_cast<const char*>(own->secret.bytes().data()),
                                      own->secret.size()});
                } catch (const std::exception& unusable) {
                    outcome = std::string(unusable.what());
                }
                clearVectorRegisters();
                const std::lock_guard guard(own->shared->lock);
                own->shared->outcome = std::move(outcome);
                own->shared->finished.notify_all();
            }
            wipeStackBelow();
            clearVectorRegisters();
            running.done(std::this_thread::get_id());  // everything it held is wiped
        });
        running.add(std::move(thread));
    } catch (const std::exception& unusable) {
        shared->outcome = std::string(unusable.what());
    }
    return PendingKeys(std::move(shared));
}

std::variant<ContainerKeys, std::string> EngineParts::PendingKeys::wait(const CancelToken* cancel) {
    std::unique_lock guard(derivation_->lock);
    while (!derivation_->finished.wait_for(guard, std::chrono::milliseconds(10),
                                           [&] { return derivation_->outcome.has_value(); })) {
        if (cancel != nullptr) {
            guard.unlock();
            cancel->check();
            guard.lock();
        }
    }
    return std::move(*derivation_->outcome);
}

void EngineParts::flushContent(const Folder& folder, const std::string& name) const {
    fileSystem->syncFileSystem(folder);
    struct statfs info {};
    if (::fstatfs(folder.fd(), &info) != 0 || info.f_type == FUSE_SUPER_MAGIC) {
        fileSystem->syncTree(folder, name);
    }
}

LockedItem EngineParts::freshRecord(const Uuid& id, std::string name, LockedItem::Kind kind,
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

void EngineParts::undoUnfinished(const std::filesystem::path& mountPoint, const Folder& parent,
                                 const std::optional<Built>& built, const Uuid& id) const noexcept {
    bool undone = true;
    try {
        tool.detach(mountPoint, true);
    } catch (...) {
        // Nothing mounted there, or the detach failed: removing the folder tells which.
        logCaught(LogLevel::debug, {"Could not detach ", mountPoint});
    }
    undone = mounts.remove(mountPoint) && undone;
    try {
        // A half-restored copy holds decrypted files, and may hold read-only folders: it is
        // made deletable on the way, never left behind quietly.
        if (built) {
            fileSystem->removeTree(parent, built->name, {built->identity, std::nullopt});
        }
    } catch (...) {
        logCaught(LogLevel::warning, {"Could not remove the unfinished copy in ", parent.path(),
                                      "; the next start removes it"});
        undone = false;
    }
    if (!undone) {
        return;  // the journal entry stays: recovery finishes the clean-up at the next start
    }
    try {
        journal.remove(id);
    } catch (...) {
        logCaught(LogLevel::warning, {"Could not drop the journal entry of the work undone in ",
                                      parent.path(), "; the next start drops it"});
    }
}

bool EngineParts::waitForCloudDownloads(const std::filesystem::path& item, const std::string& name,
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
                              std::chrono::duration<double>(options.cloudDownloadTimeout));
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
