#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/locker.h"
#include "errors/tessela_error.h"
#include "support/fuse_fixture.h"

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

// An engine on a private support folder and home, with real gocryptfs mounts.
class EngineTest : public FuseTest {
  protected:
    void SetUp() override {
        FuseTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        fs::create_directories(home / "Docs");
        locker.emplace(temp / "support", home, std::nullopt, tool);
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

    void expectNothingLeft(const fs::path& folder) {
        EXPECT_EQ(leftovers(folder), std::vector<std::string>{});
        EXPECT_EQ(locker->journal.load(), std::vector<JournalEntry>{});
        EXPECT_EQ(locker->index.load(), std::vector<LockedItem>{});
        if (fs::exists(locker->mountsRoot)) {
            EXPECT_EQ(namesIn(locker->mountsRoot), std::vector<std::string>{});
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
    std::optional<Locker> locker;
    int mounts = 0;
};

}  // namespace tessela::testing
