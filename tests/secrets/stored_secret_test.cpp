#include "secrets/stored_secret.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "records/json_codec.h"
#include "secrets/shared_state.h"
#include "support/temp_folder.h"

namespace tessela {
namespace {

TEST(StoredSecretTest, ChangesKeepEveryEarlierPasswordReachableInOrder) {
    const StoredSecret before{"A", 3, std::nullopt, {"B", "A", "C"}};
    const StoredSecret after = before.changing("N");
    EXPECT_EQ(after, (StoredSecret{"N", 4, "A", {"B", "C", "A"}}));
    EXPECT_EQ(after.openCandidates(), (std::vector<std::string>{"N", "A", "C", "B"}));
    EXPECT_EQ(after.migrated(), (StoredSecret{"N", 4, std::nullopt, {"B", "C", "A"}}));
    EXPECT_EQ((StoredSecret{"only", 1, std::nullopt, {}}).openCandidates(),
              std::vector<std::string>{"only"});
    // A second change before the first migration ends: the first previous stays in the history.
    EXPECT_EQ(after.changing("M").openCandidates(),
              (std::vector<std::string>{"M", "N", "A", "C", "B"}));
    // A record whose previous password is missing from its history keeps it all the same.
    EXPECT_EQ((StoredSecret{"B", 2, "A", {}}).changing("C").openCandidates(),
              (std::vector<std::string>{"C", "B", "A"}));
}

TEST(StoredSecretTest, JsonFormKeepsPreviousOnlyWhenThereAndHistoryAlways) {
    const StoredSecret secret{"pässword", 2, "old", {"older"}};
    EXPECT_EQ(StoredSecret::fromCompactJson(secret.compactJson()), secret);
    const StoredSecret first{"first", 1, std::nullopt, {}};
    EXPECT_FALSE(first.toJson().contains("previous"));
    EXPECT_TRUE(first.toJson().contains("history"));
    EXPECT_EQ(StoredSecret::fromCompactJson(R"({"password":"p","generation":5})"),
              (StoredSecret{"p", 5, std::nullopt, {}}));
    EXPECT_THROW((void)StoredSecret::fromCompactJson(R"({"generation":5})"), DecodingError);
    EXPECT_THROW((void)StoredSecret::fromCompactJson(R"({"password":"p"})"), DecodingError);
    EXPECT_THROW((void)StoredSecret::fromCompactJson(R"({"password":"p","generation":0})"),
                 DecodingError);
    EXPECT_THROW(
        (void)StoredSecret::fromCompactJson(R"({"password":"p","generation":9223372036854775807})"),
        DecodingError);
    EXPECT_THROW(
        (void)StoredSecret::fromCompactJson(R"({"password":"p","generation":1,"history":[1]})"),
        DecodingError);
}

TEST(SharedStateTest, WrittenPrivatelyReadBackAndStaleAfterARestart) {
    testing::TempFolder temp;
    const std::filesystem::path file = temp / "runtime/tessela/state.json";
    const std::int64_t boot = SharedState::currentBootTime();
    EXPECT_GT(boot, 0);
    const std::string bootId = SharedState::currentBootId();
    EXPECT_EQ(bootId.size(), 36U) << bootId;
    const SharedState state{
        {"/home/ann/Report.tessvault", "/home/ann/caf\xe9.tessvault"}, boot, bootId};
    state.write(file);
    EXPECT_EQ(SharedState::read(file), state);
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600U);
    ASSERT_EQ(::stat(file.parent_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700U);
    // Readers that know only the boot time still find it.
    const nlohmann::json written = JSONCodec::parse(testing::readFile(file));
    EXPECT_EQ(written.at("bootTime"), boot);
    EXPECT_EQ(written.at("bootId"), bootId);

    EXPECT_EQ(state.unlockedSet(boot, bootId)->size(), 2U);
    EXPECT_EQ((SharedState{{}, boot}).unlockedSet(boot, bootId), std::set<std::string>{});

    testing::writeFile(file, R"({"unlockedPaths":["/a"],"bootTime":"12"})");
    EXPECT_EQ(SharedState::read(file), std::nullopt);
    testing::writeFile(file, R"({"unlockedPaths":["/a"],"bootTime":12,"bootId":7})");
    EXPECT_EQ(SharedState::read(file), std::nullopt);
    EXPECT_THROW((void)SharedState::fromJson(JSONCodec::parse(testing::readFile(file))),
                 DecodingError);
    testing::writeFile(file, R"({"unlockedPaths":["/a"],"bootTime":12,"writtenBy":"later"})");
    EXPECT_EQ(SharedState::read(file), (SharedState{{"/a"}, 12}));
    EXPECT_EQ(SharedState::read(temp / "missing.json"), std::nullopt);
    EXPECT_EQ(SharedState::read(std::nullopt), std::nullopt);
}

// Whether a published state belongs to this boot: by the boot ids when both are known, since
// the boot time of a virtual machine drifts by seconds within one boot; by the exact boot time
// when either id is unknown (a state from an earlier writer, or no /proc).
TEST(SharedStateTest, TheBootIdDecidesWhenBothAreKnownAndTheBootTimeOtherwise) {
    const std::string id = "5f1b1e0a-6f55-4c4e-9a63-0c2d8e7b2f41";
    const std::string otherId = "0b4c8a6e-2d1f-4a9b-8e3c-7f6a5d4c3b21";
    struct Case {
        const char* scenario;
        std::string writtenId;
        std::int64_t currentTime;
        std::string currentId;
        bool sameBoot;
    };
    const Case cases[] = {
        {"the boot time drifted, the id is the same", id, 1008, id, true},
        {"another boot at the same second", id, 1000, otherId, false},
        {"written without an id, same boot time", "", 1000, id, true},
        {"written without an id, the boot time moved", "", 1008, id, false},
        {"no id known now, same boot time", id, 1000, "", true},
        {"no id known now, the boot time moved", id, 1008, "", false},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.scenario);
        const SharedState state{{"/home/ann/Taxes.tessvault"}, 1000, test.writtenId};
        const auto open = state.unlockedSet(test.currentTime, test.currentId);
        EXPECT_EQ(open, test.sameBoot
                            ? std::optional(std::set<std::string>{"/home/ann/Taxes.tessvault"})
                            : std::nullopt);
    }
}

}  // namespace
}  // namespace tessela
