#include "records/item_index.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <system_error>

#include "records/bookmark.h"
#include "support/temp_folder.h"

namespace tessela {
namespace {

namespace fs = std::filesystem;
using testing::namesIn;
using testing::readFile;
using testing::TempFolder;
using testing::writeFile;

class ItemIndexTest : public ::testing::Test {
  protected:
    // A record for a locked bundle at `path` (created as a folder, as bundles are), with a
    // bookmark of it.
    LockedItem lockItemAt(const fs::path& path, std::string name = "Report.pdf") {
        fs::create_directories(path);
        LockedItem item;
        item.id = Uuid::random();
        item.displayName = std::move(name);
        item.createdAt = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
        item.passwordGeneration = 1;
        return ItemIndex::refreshed(item, path);
    }

    std::vector<std::string> supportNames() { return namesIn(support); }

    TempFolder temp;
    fs::path support = temp / "support";
    ItemIndex index{support / "items.json"};
};

TEST_F(ItemIndexTest, MissingFileIsEmptyAndNotDamaged) {
    const auto loaded = index.loadReportingDamage();
    EXPECT_TRUE(loaded.items.empty());
    EXPECT_FALSE(loaded.damaged);
    EXPECT_FALSE(fs::exists(support));
}

TEST_F(ItemIndexTest, SavedListLoadsBackInOrder) {
    const LockedItem first = lockItemAt(temp / "A.tessvault", "A");
    const LockedItem second = lockItemAt(temp / "B.tessvault", "B");
    index.save({first, second});
    EXPECT_EQ(index.load(), (std::vector<LockedItem>{first, second}));
    EXPECT_EQ(testing::permissions(index.fileURL()), 0600U);
}

TEST_F(ItemIndexTest, UndecodableFilesAreSetAsideAndReadAsEmpty) {
    const std::vector<std::string> damagedContents = {
        "{}",
        "not json",
        R"([{"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F"}])",
        R"([{"createdAt":"2026-01-01T00:00:00Z","displayName":"A","id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","kind":"alias","lastKnownPath":"/a","passwordGeneration":1,"stage":"complete"}])",
        "[1]",
        "\xff\xfe[]",
    };
    for (const std::string& content : damagedContents) {
        SCOPED_TRACE(content);
        TempFolder folder;
        const ItemIndex damagedIndex(folder / "items.json");
        writeFile(damagedIndex.fileURL(), content);
        const auto loaded = damagedIndex.loadReportingDamage();
        EXPECT_TRUE(loaded.damaged);
        EXPECT_TRUE(loaded.items.empty());
        const auto names = namesIn(folder.path());
        ASSERT_EQ(names.size(), 1U);
        EXPECT_EQ(names[0].rfind("items.json.damaged-", 0), 0U);
        EXPECT_EQ(names[0].size(), std::string("items.json.damaged-yyyyMMdd-HHmmss").size());
        EXPECT_EQ(readFile(folder / names[0]), content);
    }
}

TEST_F(ItemIndexTest, EmptyArrayIsNotDamaged) {
    writeFile(index.fileURL(), "[]");
    EXPECT_FALSE(index.loadReportingDamage().damaged);
}

TEST_F(ItemIndexTest, NextWriteAfterDamageStartsNewFile) {
    writeFile(index.fileURL(), "{}");
    const LockedItem item = lockItemAt(temp / "A.tessvault");
    index.upsert(item);
    EXPECT_EQ(index.load(), std::vector<LockedItem>{item});
    EXPECT_EQ(supportNames().size(), 2U);  // the new file and the damaged one
}

TEST_F(ItemIndexTest, UnreadableFileThrowsAndChangesNothing) {
    if (testing::runningAsRoot()) {
        GTEST_SKIP() << "root reads unreadable files";
    }
    writeFile(index.fileURL(), "{}");
    ::chmod(index.fileURL().c_str(), 0);
    EXPECT_THROW((void)index.load(), std::system_error);
    EXPECT_THROW(index.upsert(lockItemAt(temp / "A.tessvault")), std::system_error);
    ::chmod(index.fileURL().c_str(), 0600);
    EXPECT_EQ(supportNames(), std::vector<std::string>{"items.json"});
    EXPECT_EQ(readFile(index.fileURL()), "{}");
}

TEST_F(ItemIndexTest, UpsertReplacesInPlaceAndAppendsNewIds) {
    LockedItem first = lockItemAt(temp / "A.tessvault", "A");
    const LockedItem second = lockItemAt(temp / "B.tessvault", "B");
    index.upsert(first);
    index.upsert(second);
    first.passwordGeneration = 7;
    index.upsert(first);
    EXPECT_EQ(index.load(), (std::vector<LockedItem>{first, second}));
}

TEST_F(ItemIndexTest, RemoveDropsEveryRecordWithIdAndAlwaysWrites) {
    const LockedItem first = lockItemAt(temp / "A.tessvault", "A");
    const LockedItem second = lockItemAt(temp / "B.tessvault", "B");
    index.save({first, second, first});
    index.remove(first.id);
    EXPECT_EQ(index.load(), std::vector<LockedItem>{second});

    const ItemIndex fresh(temp / "other/items.json");
    fresh.remove(first.id);
    EXPECT_EQ(readFile(fresh.fileURL()), "[]");
}

TEST_F(ItemIndexTest, ItemForFindsRecordThroughSymbolicLink) {
    const LockedItem item = lockItemAt(temp / "Docs/Report.tessvault");
    index.upsert(item);
    fs::create_symlink(temp / "Docs", temp / "Shortcut");
    EXPECT_EQ(index.item(temp / "Shortcut/Report.tessvault"), item);
    EXPECT_EQ(index.item(temp / "Docs/./Report.tessvault"), item);
    EXPECT_EQ(index.item(temp / "Docs/Other.tessvault"), std::nullopt);
}

TEST_F(ItemIndexTest, ItemForFindsRenamedAndMovedItemsThroughBookmark) {
    const LockedItem item = lockItemAt(temp / "Docs/Report.tessvault");
    index.upsert(item);

    fs::rename(temp / "Docs/Report.tessvault", temp / "Docs/Renamed.tessvault");
    EXPECT_EQ(index.item(temp / "Docs/Renamed.tessvault"), item);

    fs::create_directories(temp / "Archive/2026");
    fs::rename(temp / "Docs/Renamed.tessvault", temp / "Archive/2026/Moved.tessvault");
    EXPECT_EQ(index.item(temp / "Archive/2026/Moved.tessvault"), item);
    EXPECT_EQ(ItemIndex::locate(item), temp / "Archive/2026/Moved.tessvault");
}

TEST_F(ItemIndexTest, LocateFallsBackToLastKnownPath) {
    LockedItem item = lockItemAt(temp / "A.tessvault");
    item.bookmark = std::vector<std::uint8_t>{'x'};
    EXPECT_EQ(ItemIndex::locate(item), temp / "A.tessvault");
    item.bookmark.reset();
    EXPECT_EQ(ItemIndex::locate(item), temp / "A.tessvault");
    fs::remove(temp / "A.tessvault");
    EXPECT_EQ(ItemIndex::locate(item), std::nullopt);
}

TEST_F(ItemIndexTest, ReplacedItemAtOldPathIsNotMistakenForBookmarkedOne) {
    const LockedItem item = lockItemAt(temp / "Docs/Report.tessvault");
    fs::rename(temp / "Docs/Report.tessvault", temp / "Docs/Kept.tessvault");
    fs::create_directories(temp / "Docs/Report.tessvault");
    const auto bookmark = Bookmark::resolve(*item.bookmark);
    EXPECT_EQ(bookmark, temp / "Docs/Kept.tessvault");
}

TEST_F(ItemIndexTest, RefreshedPointsAtNewLocation) {
    const LockedItem item = lockItemAt(temp / "A.tessvault");
    fs::create_directories(temp / "B.tessvault");
    const LockedItem moved = ItemIndex::refreshed(item, temp / "B.tessvault");
    EXPECT_EQ(moved.lastKnownPath, (temp / "B.tessvault").string());
    EXPECT_EQ(moved.id, item.id);
    ASSERT_TRUE(moved.bookmark.has_value());
    EXPECT_EQ(Bookmark::resolve(*moved.bookmark), temp / "B.tessvault");
    EXPECT_FALSE(ItemIndex::refreshed(item, temp / "missing").bookmark.has_value());
}

}  // namespace
}  // namespace tessela
