#include "records/item_marker.h"
#include "engine/locked_names.h"

#include <gtest/gtest.h>

#include "engine/locker.h"
#include "records/open_item.h"
#include "support/temp_folder.h"

namespace tessela {
namespace {

using testing::readFile;
using testing::TempFolder;
using testing::writeFile;

TEST(ItemMarkerTest, WritesCompactJsonAndReadsItBack) {
    TempFolder volume;
    const ItemMarker marker(LockedItem::Kind::folder, "Fotos 2024 ü");
    marker.write(volume.path());
    EXPECT_EQ(readFile(volume / ".tessela-item.json"),
              R"({"formatVersion":1,"kind":"folder","name":"Fotos 2024 ü"})");
    EXPECT_EQ(ItemMarker::read(volume.path()), marker);
}

TEST(ItemMarkerTest, NameThatIsNotUtf8IsKeptExactlyAndNothingIsReplaced) {
    TempFolder volume;
    const ItemMarker marker(LockedItem::Kind::folder, "dossier\xff");
    marker.write(volume.path());
    EXPECT_EQ(readFile(volume / ".tessela-item.json"),
              "{\"formatVersion\":1,\"kind\":\"folder\",\"name\":\"dossier\uFFFD\","
              "\"nameBytes\":\"ZG9zc2llcv8=\"}");
    EXPECT_EQ(ItemMarker::read(volume.path()), marker);
    // A marker file already there (the user's own, copied in) is never written over.
    EXPECT_THROW(ItemMarker(LockedItem::Kind::file, "other").write(volume.path()),
                 std::system_error);
    EXPECT_EQ(ItemMarker::read(volume.path()), marker);
}

TEST(ItemMarkerTest, MissingOrUndecodableMarkerReadsAsNone) {
    TempFolder volume;
    EXPECT_EQ(ItemMarker::read(volume.path()), std::nullopt);
    for (const char* content : {"", "{}", R"({"formatVersion":1,"kind":"disk","name":"A"})",
                                R"({"formatVersion":1,"kind":"file"})",
                                R"({"formatVersion":"1","kind":"file","name":"A"})"}) {
        writeFile(volume / ".tessela-item.json", content);
        EXPECT_EQ(ItemMarker::read(volume.path()), std::nullopt) << content;
    }
    writeFile(volume / ".tessela-item.json", R"({"name":"A","kind":"file","formatVersion":2})");
    const auto marker = ItemMarker::read(volume.path());
    ASSERT_TRUE(marker.has_value());
    EXPECT_EQ(marker->formatVersion, 2);
}

TEST(ItemMarkerTest, SafeNamesAreSinglePathComponents) {
    EXPECT_TRUE(ItemMarker::isSafeName("Report.pdf"));
    EXPECT_TRUE(ItemMarker::isSafeName("..."));
    EXPECT_TRUE(ItemMarker::isSafeName(" "));
    EXPECT_FALSE(ItemMarker::isSafeName(""));
    EXPECT_FALSE(ItemMarker::isSafeName("."));
    EXPECT_FALSE(ItemMarker::isSafeName(".."));
    EXPECT_FALSE(ItemMarker::isSafeName("a/b"));
    EXPECT_FALSE(ItemMarker::isSafeName(std::string_view("a\0b", 3)));
}

TEST(ItemNameTest, PrefersMarkerThenRecordThenFileName) {
    LockedItem record;
    record.displayName = "Record Name.pdf";
    const ItemMarker marker(LockedItem::Kind::file, "Marker Name.pdf");
    const std::filesystem::path locked = "/home/ada/Bundle Name.tessvault";

    EXPECT_EQ(LockedNames::itemName(marker, record, locked), "Marker Name.pdf");
    EXPECT_EQ(LockedNames::itemName(ItemMarker(LockedItem::Kind::file, "../x"), record, locked),
              "Record Name.pdf");
    EXPECT_EQ(LockedNames::itemName(std::nullopt, std::nullopt, locked), "Bundle Name");
    record.displayName = "a/b";
    EXPECT_EQ(LockedNames::itemName(std::nullopt, record, locked), "Bundle Name");
}

TEST(ItemNameTest, FallsBackToTesselaItemWhenNoCandidateIsSafe) {
    const ItemMarker dotdot(LockedItem::Kind::folder, "..");
    EXPECT_EQ(LockedNames::itemName(dotdot, std::nullopt, "/home/ada/.tessvault"), "Tessela item");
}

TEST(OpenItemTest, ContentIsMountPointForFolderAndNamedFileForFile) {
    OpenItem item;
    item.mountPoint = "/run/Open/E621E1F8";
    item.name = "Report.pdf";
    item.kind = LockedItem::Kind::file;
    EXPECT_EQ(item.contentURL(), "/run/Open/E621E1F8/Report.pdf");
    item.kind = LockedItem::Kind::folder;
    EXPECT_EQ(item.contentURL(), "/run/Open/E621E1F8");
}

}  // namespace
}  // namespace tessela
