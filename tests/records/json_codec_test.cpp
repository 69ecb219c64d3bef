#include "records/json_codec.h"
#include "files/file_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <system_error>

#include "support/temp_folder.h"

namespace tessela {
namespace {

using namespace std::chrono_literals;
using testing::namesIn;
using testing::permissions;
using testing::readFile;
using testing::TempFolder;
using testing::writeFile;

TEST(JSONCodecTest, DatesAreWholeSecondsInUtcWithTrailingZ) {
    const Timestamp time =
        std::chrono::sys_days{std::chrono::year{2026} / 12 / 8} + 14h + 5min + 9s;
    EXPECT_EQ(JSONCodec::Encoder::date(time), "2026-12-08T14:05:09Z");
    EXPECT_EQ(JSONCodec::parseDate("2026-12-08T14:05:09Z"), time);
    EXPECT_EQ(JSONCodec::parseDate("2026-12-08T16:05:09+02:00"), time);
}

TEST(JSONCodecTest, MalformedDatesAreDecodingErrors) {
    for (const char* text : {"", "2026-12-08", "2026-12-08T14:05:09", "2026-13-08T14:05:09Z",
                             "2026-02-30T14:05:09Z", "2026-12-08 14:05:09Z", "2026-12-08T24:00:00Z",
                             "2026-12-08T14:05:09.5Z", "x026-12-08T14:05:09Z"}) {
        EXPECT_THROW((void)JSONCodec::parseDate(text), DecodingError) << text;
    }
}

TEST(JSONCodecTest, EncoderSortsKeysAndPrettyPrints) {
    const nlohmann::json value = {{"zeta", 1}, {"alpha", "a"}, {"mid", nlohmann::json::array()}};
    EXPECT_EQ(JSONCodec::encoder().encode(value),
              "{\n  \"alpha\": \"a\",\n  \"mid\": [],\n  \"zeta\": 1\n}");
}

TEST(JSONCodecTest, WritePrivatelyCreatesPrivateFolderAndFile) {
    TempFolder temp;
    const auto target = temp / "a/b/state.json";
    FileSystem::real().writePrivately(target, "[]");
    EXPECT_EQ(readFile(target), "[]");
    EXPECT_EQ(permissions(target), 0600U);
    EXPECT_EQ(permissions(temp / "a/b"), 0700U);
    EXPECT_EQ(permissions(temp / "a"), 0700U);
}

TEST(JSONCodecTest, WritePrivatelyReplacesContentAndLeavesNoTemporaryFile) {
    TempFolder temp;
    const auto target = temp / "items.json";
    writeFile(target, "old");
    ::chmod(target.c_str(), 0644);
    FileSystem::real().writePrivately(target, "new");
    EXPECT_EQ(readFile(target), "new");
    EXPECT_EQ(permissions(target), 0600U);
    EXPECT_EQ(namesIn(temp.path()), std::vector<std::string>{"items.json"});
}

TEST(JSONCodecTest, FailedWriteLeavesPreviousFileIntact) {
    if (testing::runningAsRoot()) {
        GTEST_SKIP() << "root writes into read-only folders";
    }
    TempFolder temp;
    const auto target = temp / "support/items.json";
    FileSystem::real().writePrivately(target, "previous");
    ::chmod((temp / "support").c_str(), 0500);
    EXPECT_THROW(FileSystem::real().writePrivately(target, "next"), std::system_error);
    ::chmod((temp / "support").c_str(), 0700);
    EXPECT_EQ(readFile(target), "previous");
    EXPECT_EQ(namesIn(temp / "support"), std::vector<std::string>{"items.json"});
}

TEST(JSONCodecTest, ThreeFilesSetAsideInOneSecondGetNumberedNames) {
    TempFolder temp;
    const auto file = temp / "items.json";
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm parts{};
    localtime_r(&seconds, &parts);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &parts);
    const std::string base = std::string("items.json.damaged-") + stamp;

    for (const char* content : {"one", "two", "three"}) {
        writeFile(file, content);
        (void)JSONCodec::setAside(file, now);
    }
    EXPECT_EQ(namesIn(temp.path()), (std::vector<std::string>{base, base + "-2", base + "-3"}));
    EXPECT_EQ(readFile(temp / base), "one");
    EXPECT_EQ(readFile(temp / (base + "-3")), "three");
}

TEST(JSONCodecTest, SetAsideOfMissingFileThrows) {
    TempFolder temp;
    EXPECT_THROW((void)JSONCodec::setAside(temp / "missing.json"), std::system_error);
}

TEST(JsonFieldsTest, RejectsMissingAndMistypedFields) {
    const nlohmann::json object = {{"text", "a"}, {"number", 3},        {"whole", 4.0},
                                   {"half", 4.5}, {"nothing", nullptr}, {"flag", true}};
    const JsonFields fields(object);
    EXPECT_EQ(fields.string("text"), "a");
    EXPECT_EQ(fields.integer("number"), 3);
    EXPECT_EQ(fields.integer("whole"), 4);
    EXPECT_TRUE(fields.boolean("flag"));
    EXPECT_EQ(fields.optionalString("nothing"), std::nullopt);
    EXPECT_EQ(fields.optionalInteger("absent"), std::nullopt);
    EXPECT_THROW((void)fields.string("number"), DecodingError);
    EXPECT_THROW((void)fields.integer("text"), DecodingError);
    EXPECT_THROW((void)fields.integer("half"), DecodingError);
    EXPECT_THROW((void)fields.string("absent"), DecodingError);
    EXPECT_THROW((void)fields.uuid("text"), DecodingError);
    EXPECT_THROW(JsonFields(nlohmann::json::array()), DecodingError);
}

// A damaged or crafted record may carry any four-digit year: it is written back as it was read,
// even beyond what the system clock's own type can count (2262).
TEST(JSONCodecTest, DatesFarAheadAreWrittenBackAsRead) {
    for (const char* text :
         {"6843-12-08T23:44:49Z", "0001-01-01T00:00:00Z", "9999-12-31T23:59:59Z"}) {
        EXPECT_EQ(JSONCodec::Encoder::date(JSONCodec::parseDate(text)), text);
    }
}

}  // namespace
}  // namespace tessela
