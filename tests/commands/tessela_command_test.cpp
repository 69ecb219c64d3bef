#include "commands/tessela_command.h"

#include <gtest/gtest.h>

#include <random>

#include "commands/command_framing.h"

namespace tessela {
namespace {

using Command = TesselaCommand;

TEST(TesselaCommandTest, UrlsBuildAndParseBack) {
    const Command lock = Command::lock({"/a b/c&d", "/x"});
    EXPECT_EQ(lock.url(), "tessela://lock?path=%2Fa%20b%2Fc%26d&path=%2Fx");
    EXPECT_EQ(Command::parse(lock.url()), lock);
    EXPECT_EQ(Command::parse("tessela://remove-lock?path=%2Fr.tessvault&other=1"),
              Command::removeLock("/r.tessvault"));
    EXPECT_EQ(Command::parse("tessela://lock-now?path=%2Fa&path=%2Fb"),
              Command::lockNow({"/a", "/b"}));
    for (const char* malformed : {
             "tessela://unlock?path=%2Fa&path=%2Fb",             // two for a single-item command
             "tessela://lock",                                   // no path
             "tessela://lock?path=docs%2Fa",                     // relative
             "TESSELA://lock?path=%2Fx",                         // the scheme is exact
             "tessela://Lock?path=%2Fx",                         // so is the host
             "tessela://open?path=%2Fx",                         // unknown host
             "tessela:lock?path=%2Fx",                           // no host
             "tessela://lock?path=%2Fx%2",                       // a cut escape
             "tessela://lock?path=%2Fx%zz",                      // a bad escape
             "tessela://lock?path=/a b",                         // a character a URL cannot hold
             "tessela://unlock?path=%2Fa%00.tessvault%2Fother",  // a NUL would cut the path
             "tessela://remove-lock/home/u/Taxes.tessvault?path=%2Fhome%2Fu%2FGames.tessvault",
             "tessela://lock?path=/home/u/Work#2.tessvault",  // a fragment hides the rest
             "tessela://lock?path=%2Fhome%2Fu%2FDocs%2F",     // a trailing slash
             "tessela://lock?path=%2Fhome%2Fu%2F..",          // a ".." component
             "tessela://lock?path=%2Fhome%2F%2Fu",            // an empty component
         }) {
        EXPECT_EQ(Command::parse(malformed), std::nullopt) << malformed;
    }
}

// Any absolute path, whatever its bytes, comes back from its URL exactly.
TEST(TesselaCommandTest, EveryPathRoundTripsByteForByte) {
    std::mt19937 generator(20261208);
    const std::string special = " &=+#?%/\xc3\xa9\xff\xfe\x01\x7f";
    for (int round = 0; round < 300; ++round) {
        // Components of any bytes but "/" and NUL, never "." or "..", joined by single slashes.
        std::string path;
        const std::size_t length = std::uniform_int_distribution<std::size_t>(1, 4095)(generator);
        while (path.size() < length) {
            std::string component = "c";
            const std::size_t size = 1 + generator() % 40;
            while (component.size() < size) {
                const char byte = generator() % 4 == 0 ? special[generator() % special.size()]
                                                       : static_cast<char>(1 + generator() % 255);
                if (byte != '/') {
                    component += byte;
                }
            }
            path += "/" + component;
        }
        const Command command =
            round % 2 == 0 ? Command::lock({path, "/x"}) : Command::reveal(path);
        const std::optional<Command> parsed = Command::parse(command.url());
        ASSERT_TRUE(parsed) << "round " << round;
        ASSERT_EQ(parsed->kind(), command.kind());
        ASSERT_EQ(parsed->paths().size(), command.paths().size());
        ASSERT_EQ(parsed->paths()[0].string(), path) << "round " << round;
    }
}

TEST(TesselaCommandTest, OnlyLockRequestsFromUnknownSendersAreConfirmed) {
    const Command lock = Command::lock({"/d/Secret.tessvault", "/d/Notes.txt"});
    EXPECT_TRUE(lock.needsConfirmation(std::nullopt, false));
    EXPECT_TRUE(lock.needsConfirmation("org.example.other", true));
    EXPECT_FALSE(lock.needsConfirmation("com.lanternworks.tessela", false));
    EXPECT_FALSE(lock.needsConfirmation("com.lanternworks.tessela.finder", false));
    EXPECT_TRUE(lock.needsConfirmation("com.lanternworks.tessela.e2e", false));
    EXPECT_FALSE(lock.needsConfirmation("com.lanternworks.tessela.e2e", true));
    EXPECT_TRUE(Command::lockNow({"/a"}).needsConfirmation(std::nullopt, false));
    for (const Command& quiet :
         {Command::unlock("/a"), Command::removeLock("/a"), Command::reveal("/a")}) {
        EXPECT_FALSE(quiet.needsConfirmation(std::nullopt, false));
    }
    EXPECT_EQ(lock.confirmationQuestion(),
              "Another app asked Tessela to lock Secret and Notes.txt. Lock them?");
    EXPECT_EQ(Command::lock({"/d/Report.pdf"}).confirmationQuestion(),
              "Another app asked Tessela to lock Report.pdf. Lock it?");
    EXPECT_EQ(Command::lock({"/a", "/b", "/c"}).confirmationQuestion(),
              "Another app asked Tessela to lock a, b and c. Lock them?");
    // A folder written with a trailing slash is named all the same.
    EXPECT_EQ(Command::lock({"/d/Taxes/"}).confirmationQuestion(),
              "Another app asked Tessela to lock Taxes. Lock it?");
}

TEST(CommandFramingTest, LinesTravelWholeAndBadOnesAreRejected) {
    EXPECT_EQ(CommandFraming::frame("tessela://lock?path=%2Fa"), "tessela://lock?path=%2Fa\n");
    EXPECT_EQ(CommandFraming::frame("a\nb"), std::nullopt);
    EXPECT_EQ(CommandFraming::frame(std::string(CommandFraming::maxLineBytes, 'a')), std::nullopt);

    CommandFraming reader;
    using Lines = std::vector<CommandFraming::Line>;
    EXPECT_EQ(reader.take("tessela://a\ntessela:"), Lines{std::string("tessela://a")});
    EXPECT_EQ(reader.take("//b\n"), Lines{std::string("tessela://b")});
    EXPECT_EQ(reader.take(std::string("x\0y\n", 4)),
              Lines{CommandFraming::Rejected{"The command holds a NUL byte."}});
    EXPECT_EQ(reader.take("caf\xe9\n"),
              Lines{CommandFraming::Rejected{"The command is not UTF-8 text."}});
    const Lines tooLong =
        reader.take(std::string(CommandFraming::maxLineBytes, 'x') + "tail\nok\n");
    EXPECT_EQ(tooLong, (Lines{CommandFraming::Rejected{"The command is longer than 64 KiB."},
                              std::string("ok")}));
    EXPECT_EQ(reader.take("unfinished"), Lines{});
    EXPECT_EQ(reader.finish(),
              Lines{CommandFraming::Rejected{"The command ended without a line feed."}});
}

TEST(CommandFramingTest, ALongSelectionTravelsInSeveralLinesThatAddUpToIt) {
    EXPECT_EQ(Command::unlock("/a/Taxes.tessvault").lineURLs(),
              std::vector<std::string>{Command::unlock("/a/Taxes.tessvault").url()});
    std::vector<std::filesystem::path> paths;
    for (int index = 0; index < 3000; ++index) {
        paths.emplace_back("/home/me/Photos/Holiday 2026/IMG_" + std::to_string(index) + ".jpg");
    }
    const std::vector<std::string> urls = Command::lockNow(paths).lineURLs();
    ASSERT_GT(urls.size(), 2U);
    std::vector<std::filesystem::path> carried;
    for (const std::string& url : urls) {
        ASSERT_TRUE(CommandFraming::frame(url)) << url.size();
        const std::optional<Command> piece = Command::parse(url);
        ASSERT_TRUE(piece);
        EXPECT_EQ(piece->kind(), Command::Case::lockNow);
        carried.insert(carried.end(), piece->paths().begin(), piece->paths().end());
    }
    EXPECT_EQ(carried, paths);
}

}  // namespace
}  // namespace tessela
