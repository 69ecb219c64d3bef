#include "journal/operation_journal.h"

#include <gtest/gtest.h>

#include "journal/crash_point.h"
#include "support/temp_folder.h"

namespace tessela {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempFolder;
using testing::writeFile;

JournalEntry lockEntry(const std::string& name) {
    const Uuid id = Uuid::random();
    return JournalEntry(id, JournalEntry::Kind::lock, "/home/ada/" + name,
                        "/home/ada/.tessela-" + id.string() + ".partial.sparsebundle",
                        "/home/ada/" + name + ".tessvault", std::nullopt);
}

class OperationJournalTest : public ::testing::Test {
  protected:
    TempFolder temp;
    OperationJournal journal{temp / "support/operations.json"};
};

TEST_F(OperationJournalTest, RemoveOnMissingJournalWritesEmptyArray) {
    journal.remove(Uuid::random());
    EXPECT_EQ(readFile(journal.fileURL()), "[]");
    EXPECT_EQ(testing::permissions(journal.fileURL()), 0600U);
    EXPECT_EQ(testing::permissions(temp / "support"), 0700U);
}

TEST_F(OperationJournalTest, ReAddedEntryMovesToTheEnd) {
    JournalEntry first = lockEntry("A");
    const JournalEntry second = lockEntry("B");
    journal.add(first);
    journal.add(second);
    first.deletingPath = "/home/ada/.tessela-" + first.id.string() + ".deleting";
    journal.add(first);
    EXPECT_EQ(journal.load(), (std::vector<JournalEntry>{second, first}));
    journal.remove(second.id);
    EXPECT_EQ(journal.load(), std::vector<JournalEntry>{first});
}

TEST_F(OperationJournalTest, OptionalFieldsRoundTripOrStayOut) {
    JournalEntry entry = lockEntry("Report.pdf");
    EXPECT_FALSE(entry.toJson().contains("lockedIdentity"));
    EXPECT_FALSE(entry.toJson().contains("lockedAt"));
    EXPECT_FALSE(entry.toJson().contains("deletingPath"));
    entry.lockedIdentity = FileIdentity{18'446'744'073'709'551'000ULL, 1'700'000'000, 123'456'789};
    entry.lockedAt = Timestamp{std::chrono::seconds{1'700'000'000}};
    entry.deletingPath = "/home/ada/.tessela-x.deleting";
    journal.add(entry);
    EXPECT_EQ(journal.load(), std::vector<JournalEntry>{entry});
    const std::string text = readFile(journal.fileURL());
    EXPECT_NE(text.find("\"lockedAt\": \"2023-11-14T22:13:20Z\""), std::string::npos) << text;

    JournalEntry restore(Uuid::random(), JournalEntry::Kind::restore, "/a/X.tessvault",
                         "/a/.tessela-x.restoring", "", FileIdentity{7, 0, 0});
    EXPECT_EQ(JournalEntry::fromJson(restore.toJson()), restore);
}

TEST_F(OperationJournalTest, UnknownKindDamagesTheWholeFile) {
    nlohmann::json good = lockEntry("A").toJson();
    nlohmann::json bad = lockEntry("B").toJson();
    bad["kind"] = "move";
    writeFile(journal.fileURL(), nlohmann::json::array({good, bad}).dump());
    const auto loaded = journal.loadReportingDamage();
    EXPECT_TRUE(loaded.damaged);
    EXPECT_TRUE(loaded.items.empty());
    EXPECT_FALSE(fs::exists(journal.fileURL()));
    const auto names = testing::namesIn(temp / "support");
    ASSERT_EQ(names.size(), 1U);
    EXPECT_EQ(names[0].rfind("operations.json.damaged-", 0), 0U);
}

TEST_F(OperationJournalTest, MissingRequiredKeysOrBadIdentityAreDamage) {
    const nlohmann::json valid = lockEntry("A").toJson();
    for (const char* key : {"id", "kind", "originalPath", "partialPath", "finalPath"}) {
        nlohmann::json broken = valid;
        broken.erase(key);
        EXPECT_THROW((void)JournalEntry::fromJson(broken), DecodingError) << key;
    }
    nlohmann::json badIdentity = valid;
    badIdentity["lockedIdentity"] = {{"inode", 1}, {"birthSeconds", 2}};
    EXPECT_THROW((void)JournalEntry::fromJson(badIdentity), DecodingError);
    badIdentity["lockedIdentity"] = {{"inode", -1}, {"birthSeconds", 2}, {"birthNanoseconds", 3}};
    EXPECT_THROW((void)JournalEntry::fromJson(badIdentity), DecodingError);
}

TEST(FileIdentityTest, SurvivesRenameButNotCopy) {
    TempFolder temp;
    writeFile(temp / "a", "content");
    const auto before = FileIdentity::of(temp / "a");
    ASSERT_TRUE(before.has_value());
    fs::rename(temp / "a", temp / "b");
    EXPECT_EQ(FileIdentity::of(temp / "b"), before);
    fs::copy_file(temp / "b", temp / "c");
    fs::remove(temp / "b");
    fs::rename(temp / "c", temp / "b");
    EXPECT_NE(FileIdentity::of(temp / "b"), before);
    EXPECT_EQ(FileIdentity::of(temp / "missing"), std::nullopt);

    fs::create_symlink(temp / "b", temp / "link");
    EXPECT_NE(FileIdentity::of(temp / "link"), FileIdentity::of(temp / "b"));
    fs::create_symlink(temp / "nowhere", temp / "dangling");
    EXPECT_TRUE(FileIdentity::of(temp / "dangling").has_value());
}

TEST(CrashPointTest, ThirteenNamedCasesInOrder) {
    EXPECT_EQ(allCrashPoints.size(), 13U);
    for (const CrashPoint point : allCrashPoints) {
        EXPECT_EQ(crashPointFromRawValue(rawValue(point)), point);
    }
    EXPECT_EQ(rawValue(CrashPoint::lockAfterRenameToDeleting), "lockAfterRenameToDeleting");
    EXPECT_EQ(static_cast<int>(CrashPoint::passwordAfterFirstItem), 12);
    EXPECT_EQ(crashPointFromRawValue("LockAfterCreate"), std::nullopt);
    EXPECT_EQ(SimulatedCrash(), SimulatedCrash());
}

}  // namespace
}  // namespace tessela
