#include "records/locked_item.h"

#include <gtest/gtest.h>

#include <chrono>

#include "journal/journal_entry.h"
#include "records/base64.h"

namespace tessela {
namespace {

using namespace std::chrono_literals;

LockedItem fullRecord() {
    LockedItem item;
    item.id = *Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    item.displayName = "Report.pdf";
    item.kind = LockedItem::Kind::file;
    item.bookmark = std::vector<std::uint8_t>{0, 1, 2, 250, 255};
    item.lastKnownPath = "/home/ada/Report.tessvault";
    item.createdAt = std::chrono::sys_days{std::chrono::year{2026} / 1 / 2} + 3h + 4min + 5s;
    item.passwordGeneration = 3;
    item.stage = LockedItem::Stage::originalPending;
    item.originalPath = "/home/ada/Report.pdf";
    item.contentSize = 5'000'000'000;
    return item;
}

TEST(LockedItemTest, FullRecordRoundTripsWithStoredKeyForms) {
    const LockedItem item = fullRecord();
    const nlohmann::json object = item.toJson();
    EXPECT_EQ(object["id"], "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_EQ(object["kind"], "file");
    EXPECT_EQ(object["stage"], "originalPending");
    EXPECT_EQ(object["createdAt"], "2026-01-02T03:04:05Z");
    EXPECT_EQ(object["bookmark"], "AAEC+v8=");
    EXPECT_EQ(object["contentSize"], 5'000'000'000);
    EXPECT_EQ(LockedItem::fromJson(object), item);
}

TEST(LockedItemTest, AbsentOptionalFieldsAreLeftOutAndDecodeAsAbsent) {
    LockedItem item = fullRecord();
    item.bookmark.reset();
    item.originalPath.reset();
    item.contentSize.reset();
    item.stage = LockedItem::Stage::complete;
    item.kind = LockedItem::Kind::folder;
    const nlohmann::json object = item.toJson();
    EXPECT_FALSE(object.contains("bookmark"));
    EXPECT_FALSE(object.contains("originalPath"));
    EXPECT_FALSE(object.contains("contentSize"));
    EXPECT_EQ(object.size(), 7U);
    EXPECT_EQ(LockedItem::fromJson(object), item);
}

// Names and paths are bytes. Valid UTF-8 is stored as before (earlier files read as they
// are); anything else is kept exactly beside its repaired text.
TEST(LockedItemTest, NamesAndPathsThatAreNotUtf8RoundTripExactly) {
    LockedItem item = fullRecord();
    item.displayName = "caf\xe9.txt";
    item.lastKnownPath = "/home/ada/caf\xe9.tessvault";
    item.originalPath = "/home/ada/caf\xe9.txt";
    const nlohmann::json object = item.toJson();
    EXPECT_EQ(object["displayName"], "caf\uFFFD.txt");
    EXPECT_EQ(object["displayNameBytes"], "Y2Fm6S50eHQ=");
    EXPECT_TRUE(object.contains("lastKnownPathBytes"));
    EXPECT_TRUE(object.contains("originalPathBytes"));
    EXPECT_EQ(LockedItem::fromJson(nlohmann::json::parse(JSONCodec::encoder().encode(object))),
              item);
    EXPECT_FALSE(fullRecord().toJson().contains("displayNameBytes"));

    JournalEntry entry(Uuid::random(), JournalEntry::Kind::restore, "/d/caf\xe9.tessvault",
                       "/d/.tessela-x.restoring", "/d/caf\xe9.txt", FileIdentity{7, 1, 2});
    entry.deletingPath = "/d/\xff";
    entry.restoredIdentity = FileIdentity{8, 3, 4};
    EXPECT_EQ(
        JournalEntry::fromJson(nlohmann::json::parse(JSONCodec::encoder().encode(entry.toJson()))),
        entry);

    nlohmann::json damaged = object;
    damaged["displayNameBytes"] = "not base64!";
    EXPECT_THROW((void)LockedItem::fromJson(damaged), DecodingError);
}

TEST(LockedItemTest, MissingRequiredKeyOrUnknownValueIsDecodingError) {
    const nlohmann::json valid = fullRecord().toJson();
    for (const char* key : {"id", "displayName", "kind", "lastKnownPath", "createdAt",
                            "passwordGeneration", "stage"}) {
        nlohmann::json broken = valid;
        broken.erase(key);
        EXPECT_THROW((void)LockedItem::fromJson(broken), DecodingError) << key;
    }
    const std::vector<std::pair<const char*, nlohmann::json>> badValues = {
        {"kind", "package"},         {"stage", "done"},         {"id", "not-a-uuid"},
        {"passwordGeneration", "1"}, {"createdAt", 1700000000}, {"bookmark", "***"},
        {"contentSize", "12"},       {"displayName", 12},
    };
    for (const auto& [key, value] : badValues) {
        nlohmann::json broken = valid;
        broken[key] = value;
        EXPECT_THROW((void)LockedItem::fromJson(broken), DecodingError) << key;
    }
}

TEST(Base64Test, RoundTripsEveryLengthAndRejectsMalformedText) {
    std::vector<std::uint8_t> bytes;
    for (int length = 0; length < 8; ++length) {
        EXPECT_EQ(base64::decode(base64::encode(bytes)), bytes);
        bytes.push_back(static_cast<std::uint8_t>(length * 37));
    }
    EXPECT_EQ(base64::encode({'M', 'a'}), "TWE=");
    for (const char* text : {"TWE", "T=E=", "TW=a", "TWE*", "====", "TQ==TQ=="}) {
        EXPECT_EQ(base64::decode(text), std::nullopt) << text;
    }
}

TEST(UuidTest, ParsesEitherCaseAndPrintsUpperCase) {
    const auto uuid = Uuid::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    ASSERT_TRUE(uuid.has_value());
    EXPECT_EQ(uuid->string(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_EQ(Uuid::parse("E621E1F8C36C495A93FC0C247A3E6E5F"), std::nullopt);
    EXPECT_NE(Uuid::random(), Uuid::random());
}

}  // namespace
}  // namespace tessela
