#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "activity/cancel_token.h"
#include "activity/lock_step.h"
#include "checks/lock_policy.h"
#include "container/container_keys.h"
#include "engine/content_copier.h"
#include "engine/locker_options.h"
#include "engine/mounts_folder.h"
#include "files/file_system.h"
#include "files/folder.h"
#include "journal/operation_journal.h"
#include "process/disk_image_tool.h"
#include "records/item_index.h"
#include "records/locked_item.h"
#include "records/uuid.h"

namespace tessela {

// What the engine's operations share: the locations, the tool, the records, the file-system
// seam and the options, with the small steps several operations take. Only the engine's own
// pieces see it; everyone else goes through Locker.
struct EngineParts {
    EngineParts(const std::filesystem::path& supportDirectory, const std::filesystem::path& home,
                const std::optional<std::filesystem::path>& appBundle, DiskImageTool diskImageTool,
                LockerOptions lockerOptions);

    LockerOptions options;
    FileSystem* fileSystem;
    DiskImageTool tool;
    ItemIndex index;
    OperationJournal journal;
    MountsFolder mounts;
    LockPolicy policy;
    ContentCopier copier;

    // Throws SimulatedCrash when `point` is the armed crash point.
    void passCrashPoint(CrashPoint point) const;

    // The applications that hold a file at `item` open for writing (lsof), each once.
    [[nodiscard]] std::vector<std::string> writersOf(const std::filesystem::path& item) const;
    // inUse naming the applications that hold a file at `item` open for writing, if any.
    void refuseWriters(const std::filesystem::path& item) const;

    // Waits (bounded by the cloud download timeout) for cloud files under `item`; true when it
    // had to.
    bool waitForCloudDownloads(const std::filesystem::path& item, const std::string& name,
                               const CancelToken* cancel, const ProgressCallback& progress) const;

    // Renames the hidden `hidden` in `parent` back to `name`, or, when that was taken meanwhile,
    // to a free name beside it (restoreDestination), and flushes the folder. Throws when
    // neither works.
    void putBackBeside(const Folder& parent, const std::string& hidden,
                       const std::string& name) const;

    // The keys of a container, derived on a thread of their own from its settings and the
    // password (scrypt takes about a fifth of a second): other work can go on meanwhile.
    class PendingKeys {
      public:
        struct Derivation;
        explicit PendingKeys(std::shared_ptr<Derivation> derivation)
            : derivation_(std::move(derivation)) {}
        PendingKeys(const PendingKeys&) = delete;
        PendingKeys& operator=(const PendingKeys&) = delete;
        PendingKeys(PendingKeys&&) noexcept = default;
        PendingKeys& operator=(PendingKeys&&) noexcept = default;
        // The keys, or why the container module cannot use the container (a sentence); once
        // only. A cancel lands at once, the derivation left to finish alone and wiped unused.
        // Throws TesselaError::cancelled().
        [[nodiscard]] std::variant<ContainerKeys, std::string> wait(const CancelToken* cancel);

      private:
        std::shared_ptr<Derivation> derivation_;
    };
    // Starts deriving the keys of the container held open as `container`.
    [[nodiscard]] static PendingKeys startContainerKeys(const Folder& container,
                                                        const std::string& password);

    // Makes `name` in `folder` durable with all it holds: a flush of the whole file system and,
    // where that flush does not reach storage (a FUSE file system, whose daemon it never asks),
    // a flush of each of its files and folders as well.
    void flushContent(const Folder& folder, const std::string& name) const;

    // A record for the locked item at `locked`, stage complete, created now, with a bookmark.
    [[nodiscard]] static LockedItem freshRecord(const Uuid& id, std::string name,
                                                LockedItem::Kind kind,
                                                const std::filesystem::path& locked,
                                                std::int64_t generation);

    // What an operation made next to the item: its name in the item's folder and which object
    // it is, so that a clean-up removes that and nothing that was planted under the name.
    struct Built {
        std::string name;
        Folder::Identity identity;
    };
    // Cleans up after a failed lock or lock removal, before its point of no return: closes the
    // mount, removes its folder and the half-built `built` (when the operation got as far as
    // making it), and drops the journal entry only when all of that worked: a clean-up that fails
    // keeps the entry, so the next start finishes it. The first error is the one to report,
    // never the clean-up's.
    void undoUnfinished(const std::filesystem::path& mountPoint, const Folder& parent,
                        const std::optional<Built>& built, const Uuid& id) const noexcept;
};

}  // namespace tessela
