#include "checks/open_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/child_process.h"
#include "support/temp_folder.h"

namespace tessela {
namespace {

using Holder = OpenFiles::Holder;
using Holders = OpenFiles::Holders;
using Names = std::vector<std::string>;

TEST(OpenFilesParseTest, KeepsFirstCommandFirstPositionAndWriterModes) {
    const std::string output =
        "p100\ncPreview\nf4\nar\n"
        "p200\ncTextEdit\ncIgnored\nf5\nau\n"
        "p300\ncvim\nf3\naw\n"
        "p100\ncLater\nf9\nar\n"
        "p\ncnobody\n\n";
    EXPECT_EQ(OpenFiles::parse(output), (std::vector<Holder>{{"Preview", false, 100},
                                                             {"TextEdit", true, 200},
                                                             {"vim", true, 300},
                                                             {"nobody", false, 0}}));
    EXPECT_EQ(OpenFiles::parse("p42\nf1\n"), (std::vector<Holder>{{"", false, 42}}));
    EXPECT_TRUE(OpenFiles::parse("").empty());
}

TEST(OpenFilesParseTest, ClassifiesUnusableAnswersAsUnknown) {
    EXPECT_TRUE(OpenFiles::classify(1, false, "").isUnknown());
    EXPECT_TRUE(OpenFiles::classify(1, false, " \n\t\n").isUnknown());
    EXPECT_TRUE(OpenFiles::classify(0, true, "p1\ncx\n").isUnknown());
    EXPECT_EQ(OpenFiles::classify(0, false, ""), Holders::of({}));
    EXPECT_EQ(OpenFiles::classify(1, false, "p7\ncvim\naw\n"), Holders::of({{"vim", true, 7}}));
}

TEST(OpenFilesNamesTest, WritersAndBlockersAreNamedOnceInOrder) {
    const Holders writers = Holders::of(
        {{"mdworker", false, 1}, {"vim", true, 2}, {"Preview", false, 3}, {"vim", true, 4}});
    EXPECT_EQ(OpenFiles::writerNames(writers), Names{"vim"});
    EXPECT_EQ(OpenFiles::blockingNames(writers), Names{"vim"});

    const Holders readers = Holders::of({{"mdworker", false, 1},
                                         {"Preview", false, 3},
                                         {"tracker-miner-f", false, 5},
                                         {"Preview", false, 6}});
    EXPECT_EQ(OpenFiles::writerNames(readers), Names{});
    EXPECT_EQ(OpenFiles::blockingNames(readers), Names{"Preview"});
    EXPECT_EQ(OpenFiles::blockingNames(Holders::of({{"mds", false, 1}})), Names{});
    EXPECT_EQ(OpenFiles::writerNames(Holders::unknown()), Names{});
    EXPECT_EQ(OpenFiles::blockingNames(Holders::unknown()), Names{});
}

TEST(OpenFilesNamesTest, AutoEjectNeedsAllowlistedReadersFromSystemFolders) {
    const auto paths = [](pid_t pid) -> std::optional<std::string> {
        switch (pid) {
            case 1:
                return "/usr/libexec/tracker-miner-fs-3";
            case 2:
                return "/System/Library/mdworker";
            case 3:
                return "/home/ada/bin/mdworker";
            default:
                return std::nullopt;
        }
    };
    const Holders system = Holders::of({{"tracker-miner-f", false, 1}, {"mdworker", false, 2}});
    EXPECT_TRUE(OpenFiles::safeToAutoEject(system, paths));
    EXPECT_FALSE(OpenFiles::safeToAutoEject(Holders::of({{"mdworker", false, 3}}), paths));
    EXPECT_FALSE(OpenFiles::safeToAutoEject(Holders::of({{"mdworker", false, 9}}), paths));
    EXPECT_FALSE(OpenFiles::safeToAutoEject(Holders::of({{"mdworker", true, 2}}), paths));
    EXPECT_FALSE(OpenFiles::safeToAutoEject(Holders::of({{"vim", false, 1}}), paths));
    EXPECT_FALSE(OpenFiles::safeToAutoEject(Holders::of({}), paths));
    EXPECT_FALSE(OpenFiles::safeToAutoEject(Holders::unknown(), paths));
}

class OpenFilesLsofTest : public ::testing::Test {
  protected:
    // A shell that keeps `file` open on descriptor 3 (`redirection` "<" to read, ">>" to
    // write) until its input closes.
    std::unique_ptr<testing::ChildProcess> holdOpen(const std::filesystem::path& file,
                                                    const std::string& redirection) {
        auto child = std::make_unique<testing::ChildProcess>(
            "/bin/sh",
            std::vector<std::string>{"-c", "exec 3" + redirection + "\"$1\"; echo ready; read line",
                                     "sh", file.string()});
        EXPECT_EQ(child->readLine(), "ready");
        return child;
    }

    testing::TempFolder temp;
};

TEST_F(OpenFilesLsofTest, NamesRealWriterButNotReader) {
    testing::writeFile(temp / "Docs/report.txt", "text");
    testing::writeFile(temp / "Docs/notes.txt", "text");
    const auto writer = holdOpen(temp / "Docs/report.txt", ">>");
    const auto reader = holdOpen(temp / "Docs/notes.txt", "<");

    const Holders holders = OpenFiles::holders(temp / "Docs");
    ASSERT_FALSE(holders.isUnknown());
    EXPECT_EQ(holders.known->size(), 2U);
    EXPECT_EQ(OpenFiles::writerNames(holders), Names{"sh"});
    EXPECT_EQ(OpenFiles::appNames(temp / "Docs/report.txt"), Names{"sh"});
    EXPECT_EQ(OpenFiles::appNames(temp / "Docs/notes.txt"), Names{});
    EXPECT_EQ(OpenFiles::executablePath(writer->pid()), "/usr/bin/dash");
}

TEST_F(OpenFilesLsofTest, NobodyHoldingIsUnknownAndNothingThereIsEmpty) {
    testing::writeFile(temp / "quiet.txt", "text");
    EXPECT_TRUE(OpenFiles::holders(temp / "quiet.txt").isUnknown());
    EXPECT_EQ(OpenFiles::holders(temp / "missing"), Holders::of({}));
}

TEST_F(OpenFilesLsofTest, TesselaNeverNamesItself) {
    testing::writeFile(temp / "Docs/report.txt", "text");
    const int ours = ::open((temp / "Docs/report.txt").c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(ours, 0);
    const auto writer = holdOpen(temp / "Docs/report.txt", ">>");
    const Holders holders = OpenFiles::holders(temp / "Docs");
    ::close(ours);
    ASSERT_FALSE(holders.isUnknown());
    EXPECT_EQ(holders.known->size(), 1U);
    EXPECT_EQ(OpenFiles::writerNames(holders), Names{"sh"});
}

TEST_F(OpenFilesLsofTest, MissingListerIsUnknown) {
    testing::writeFile(temp / "a.txt", "text");
    EXPECT_TRUE(OpenFiles::holders(temp / "a.txt", 10.0, (temp / "no-lsof").string()).isUnknown());
}

}  // namespace
}  // namespace tessela
