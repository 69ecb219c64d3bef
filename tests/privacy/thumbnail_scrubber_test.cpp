#include "privacy/thumbnail_scrubber.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "support/temp_folder.h"

namespace tessela {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;

std::uint32_t crc32(std::string_view bytes) {
    std::uint32_t crc = 0xFFFFFFFFU;
    for (const char byte : bytes) {
        crc ^= static_cast<std::uint8_t>(byte);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320U & (0U - (crc & 1U)));
        }
    }
    return ~crc;
}

std::string bigEndian(std::uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>((value >> 16) & 0xFF),
            static_cast<char>((value >> 8) & 0xFF), static_cast<char>(value & 0xFF)};
}

std::string chunk(std::string_view type, std::string_view data) {
    const std::string typed = std::string(type) + std::string(data);
    return bigEndian(static_cast<std::uint32_t>(data.size())) + typed + bigEndian(crc32(typed));
}

// A real 1×1 grey PNG carrying the "Thumb::URI" text that thumbnailers write.
std::string thumbnailPNG(const std::string& uri) {
    const std::string header("\0\0\0\1\0\0\0\1\x08\x00\x00\x00\x00", 13);
    const std::string pixels("\x78\x9c\x63\x60\x00\x00\x00\x02\x00\x01", 10);
    return std::string("\x89PNG\r\n\x1a\n") + chunk("IHDR", header) +
           chunk("tEXt", std::string("Thumb::URI\0", 11) + uri) +
           chunk("tEXt", std::string("Thumb::MTime\0", 13) + "1700000000") + chunk("IDAT", pixels) +
           chunk("IEND", "");
}

std::string fileURI(const fs::path& path) {
    gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
    std::string text(uri);
    g_free(uri);
    return text;
}

class ThumbnailScrubberTest : public ::testing::Test {
  protected:
    fs::path addThumbnail(const std::string& folder, const fs::path& source) {
        const fs::path png = places.thumbnails / folder / (std::to_string(++count) + ".png");
        testing::writeFile(png, thumbnailPNG(fileURI(source)));
        return png;
    }

    void writeRecentFiles(const std::vector<fs::path>& files) {
        GBookmarkFile* list = g_bookmark_file_new();
        for (const fs::path& file : files) {
            const std::string uri = fileURI(file);
            g_bookmark_file_set_mime_type(list, uri.c_str(), "text/plain");
            g_bookmark_file_add_application(list, uri.c_str(), "editor", "editor %u");
        }
        fs::create_directories(places.recentFiles.parent_path());
        ASSERT_TRUE(g_bookmark_file_to_file(list, places.recentFiles.c_str(), nullptr));
        g_bookmark_file_free(list);
    }

    std::vector<std::string> recentURIs() {
        GBookmarkFile* list = g_bookmark_file_new();
        EXPECT_TRUE(g_bookmark_file_load_from_file(list, places.recentFiles.c_str(), nullptr));
        gsize length = 0;
        gchar** uris = g_bookmark_file_get_uris(list, &length);
        std::vector<std::string> result(uris, uris + length);
        g_strfreev(uris);
        g_bookmark_file_free(list);
        std::sort(result.begin(), result.end());
        return result;
    }

    TempFolder temp;
    ThumbnailScrubber::Places places{temp / "cache/thumbnails", temp / "data/recently-used.xbel"};
    fs::path mounts = temp / "support/Open";
    fs::path lockedPlace = temp / "home/Taxes";
    int count = 0;
};

TEST_F(ThumbnailScrubberTest, ReadsTheThumbnailURI) {
    const fs::path png = addThumbnail("normal", "/home/ada/a b.pdf");
    EXPECT_EQ(ThumbnailScrubber::thumbnailURI(png), "file:///home/ada/a%20b.pdf");
}

TEST_F(ThumbnailScrubberTest, RemovesThumbnailsUnderRootsInEverySizeFolder) {
    const fs::path mounted = addThumbnail("normal", mounts / "E621/Report.pdf");
    const fs::path original = addThumbnail("large", lockedPlace / "2024/scan.png");
    const fs::path failed = addThumbnail("fail/gnome-thumbnail-factory", lockedPlace / "x.pdf");
    const fs::path exact = addThumbnail("x-large", lockedPlace);
    const fs::path sibling = addThumbnail("normal", temp / "home/Taxes 2/keep.pdf");
    const fs::path elsewhere = addThumbnail("normal", temp / "home/Photos/keep.png");
    testing::writeFile(places.thumbnails / "normal/corrupt.png", "not a png at all");

    EXPECT_TRUE(ThumbnailScrubber::reset(mounts, {lockedPlace}, places));
    EXPECT_FALSE(fs::exists(mounted));
    EXPECT_FALSE(fs::exists(original));
    EXPECT_FALSE(fs::exists(failed));
    EXPECT_FALSE(fs::exists(exact));
    EXPECT_TRUE(fs::exists(sibling));
    EXPECT_TRUE(fs::exists(elsewhere));
    EXPECT_TRUE(fs::exists(places.thumbnails / "normal/corrupt.png"));
}

TEST_F(ThumbnailScrubberTest, DropsRecentFilesUnderRootsAndKeepsTheRest) {
    writeRecentFiles(
        {lockedPlace / "return.pdf", mounts / "E621/Report.pdf", temp / "home/Photos/keep.png"});
    EXPECT_TRUE(ThumbnailScrubber::reset(mounts, {lockedPlace}, places));
    EXPECT_EQ(recentURIs(), std::vector<std::string>{fileURI(temp / "home/Photos/keep.png")});
}

TEST_F(ThumbnailScrubberTest, NothingToScrubSucceeds) {
    EXPECT_TRUE(ThumbnailScrubber::reset(mounts, {lockedPlace}, places));
}

TEST_F(ThumbnailScrubberTest, CorruptRecentFilesListIsSkippedNotFatal) {
    testing::writeFile(places.recentFiles, "<xbel><bookmark href=");
    const fs::path mounted = addThumbnail("normal", mounts / "E621/Report.pdf");
    EXPECT_FALSE(ThumbnailScrubber::reset(mounts, {lockedPlace}, places));
    EXPECT_FALSE(fs::exists(mounted));
    EXPECT_EQ(testing::readFile(places.recentFiles), "<xbel><bookmark href=");
}

TEST_F(ThumbnailScrubberTest, TruncatedPngHasNoURI) {
    const fs::path png = addThumbnail("normal", "/home/ada/a.pdf");
    const std::string bytes = testing::readFile(png);
    testing::writeFile(png, bytes.substr(0, 40));
    EXPECT_EQ(ThumbnailScrubber::thumbnailURI(png), std::nullopt);
}

}  // namespace
}  // namespace tessela
