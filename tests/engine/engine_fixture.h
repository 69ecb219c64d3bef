#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "engine/locker.h"
#include "errors/tessela_error.h"
#include "support/fuse_fixture.h"
#include "support/recording_file_system.h"

namespace tessela {

// Crash points print as their names in test output.
inline void PrintTo(CrashPoint point, std::ostream* out) {
    *out << rawValue(point);
}

}  // namespace tessela

namespace tessela::testing {

namespace fs = std::filesystem;

inline std::string randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(generator() & 0xFF);
    }
    return bytes;
}

// Names parameterised crash-point tests after the crash point.
inline std::string crashPointName(const ::testing::TestParamInfo<CrashPoint>& point) {
    return std::string(rawValue(point.param));
}

// The steps that decide durability, in order, as short words: "flush Docs" (the whole file
// system, through the folder), "sync Docs" (the folder's entries), "NAME takes its name" (a
// rename to `placed`), "ENDING goes" (the removal of a name ending in `removedEnding`) and
// "journal" (journal writes in a row, from the first of the others on).
inline std::vector<std::string> durabilityOrder(const std::vector<FileSystemStep>& steps,
                                                const std::string& removedEnding,
                                                const fs::path& placed) {
    std::vector<std::string> order;
    for (const FileSystemStep& step : steps) {
        const std::string folder = step.path.filename().string();
        switch (step.kind) {
            case FileSystemStep::Kind::syncFileSystem:
                order.push_back("flush " + folder);
                break;
            case FileSystemStep::Kind::syncFolder:
                order.push_back("sync " + folder);
                break;
            case FileSystemStep::Kind::rename:
                if (step.target == placed) {
                    order.push_back(placed.filename().string() + " takes its name");
                }
                break;
            case FileSystemStep::Kind::removeTree:
                if (step.path.filename().string().ends_with(removedEnding)) {
                    order.push_back(removedEnding + " goes");
                }
                break;
            case FileSystemStep::Kind::writePrivately:
                if (!order.empty() && step.path.filename() == OperationJournal::fileName &&
                    order.back() != "journal") {
                    order.push_back("journal");
                }
                break;
            default:
                break;
        }
    }
    return order;
}

// An engine on a private support folder and home, with real gocryptfs mounts.
class EngineTest : public FuseTest {
  protected:
    void SetUp() override {
        FuseTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        fs::create_directories(home / "Docs");
        restart();
    }

    // A fresh engine on the same support folder (as the next start makes it), with `options`,
    // its file-system steps going through `fileSystem`, and `otherTool` when given.
    void restart(LockerOptions options = {}, const std::optional<DiskImageTool>& otherTool = {}) {
        options.fileSystem = &fileSystem;
        locker.emplace(temp / "support", home, std::nullopt, otherTool.value_or(tool), options);
    }

    // Runs `action` once, right after the lock's verification (when the mount folder it used
    // goes), before its last checks of the original.
    void afterVerification(std::function<void()> action) {
        fileSystem.beforeStep = [this, action = std::move(action),
                                 done = false](const FileSystemStep& step) mutable {
            if (!done && step.kind == FileSystemStep::Kind::removeEmptyFolder &&
                step.path.parent_path() == mountsRoot) {
                done = true;
                action();
            }
        };
    }

    // Runs `action` once, when the lock has put the locked item in place (before it flushes its
    // folder and records the item), with the folder.
    void afterPlacing(std::function<void(const fs::path&)> action) {
        fileSystem.beforeStep = [action = std::move(action),
                                 done = false](const FileSystemStep& step) mutable {
            if (!done && step.kind == FileSystemStep::Kind::syncFolder) {
                done = true;
                action(step.path);
            }
        };
    }

    // Runs `action` before each flush of a whole file system, with the location flushed.
    void beforeFlush(std::function<void(const fs::path&)> action) {
        fileSystem.beforeStep = [action = std::move(action)](const FileSystemStep& step) {
            if (step.kind == FileSystemStep::Kind::syncFileSystem) {
                action(step.path);
            }
        };
    }

    // Runs `action` before a renamed original (".tessela-….deleting") is deleted, with its path.
    void beforeDeletingOriginal(std::function<void(const fs::path&)> action) {
        fileSystem.beforeStep = [action = std::move(action)](const FileSystemStep& step) {
            const std::string name = step.path.filename().string();
            if (step.kind == FileSystemStep::Kind::removeTree && name.starts_with(".tessela-") &&
                name.ends_with(".deleting")) {
                action(step.path);
            }
        };
    }

    // A folder tree with nested folders, empty files, a link, non-ASCII names and a 5 MB file.
    fs::path makeTree(const std::string& name) {
        const fs::path root = home / "Docs" / name;
        writeFile(root / "a.txt", "alpha");
        writeFile(root / "empty", "");
        writeFile(root / "Ünïcödé ✓/notes.md", "notes");
        writeFile(root / "deep/er/still/big.bin", randomBytes(5'000'000, 7));
        fs::create_directories(root / "empty folder");
        fs::create_symlink("a.txt", root / "link to a");
        return root;
    }

    // Mounts a locked item read-only at a fresh folder and returns the folder.
    fs::path open(const fs::path& locked) {
        const fs::path mountPoint = makeMountPoint("check-" + std::to_string(++mounts));
        tool.attach(locked, mountPoint, password, true);
        return mountPoint;
    }

    // The hidden ".tessela-" names left in a folder.
    static std::vector<std::string> leftovers(const fs::path& folder) {
        std::vector<std::string> hidden;
        for (const std::string& name : namesIn(folder)) {
            if (name.starts_with(".tessela-")) {
                hidden.push_back(name);
            }
        }
        return hidden;
    }

    // Runs `change` with the mounts folder writable for a moment, as only the engine makes it.
    void whileMountsFolderWritable(const std::function<void()>& change) {
        ASSERT_EQ(::chmod(mountsRoot.c_str(), 0700), 0);
        change();
        ASSERT_EQ(::chmod(mountsRoot.c_str(), 0500), 0);
    }

    void expectNothingLeft(const fs::path& folder) {
        EXPECT_EQ(leftovers(folder), std::vector<std::string>{});
        EXPECT_EQ(journal.load(), std::vector<JournalEntry>{});
        EXPECT_EQ(index.load(), std::vector<LockedItem>{});
        if (fs::exists(mountsRoot)) {
            EXPECT_EQ(namesIn(mountsRoot), std::vector<std::string>{});
        }
    }

    TesselaError lockFailure(const fs::path& item, const CancelToken* cancel = nullptr,
                             const ProgressCallback& progress = {}) {
        try {
            (void)locker->lock(item, password, 1, cancel, progress);
        } catch (const TesselaError& error) {
            return error;
        }
        ADD_FAILURE() << "the lock of " << item << " succeeded";
        return TesselaError::notFound();
    }

    fs::path home = temp / "home";
    // The engine's records and mounts folder, read the way the engine keeps them.
    ItemIndex index{temp / "support" / ItemIndex::fileName};
    OperationJournal journal{temp / "support" / OperationJournal::fileName};
    fs::path mountsRoot = temp / "support" / "Open";
    RecordingFileSystem fileSystem;
    std::optional<Locker> locker;
    int mounts = 0;
};

}  // namespace tessela::testing
