#include "process/process_runner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "errors/tessela_error.h"
#include "posix/unique_fd.h"
#include "support/temp_folder.h"

namespace tessela {
namespace {

using Clock = std::chrono::steady_clock;

ProcessResult shell(const std::string& script, std::optional<std::string> input = std::nullopt,
                    std::optional<double> timeout = std::nullopt,
                    const CancelToken* cancel = nullptr) {
    return ProcessRunner::run("/bin/sh", {"-c", script}, input, timeout, cancel);
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Kills a process the test started indirectly, whatever way the test ends.
struct KillOnExit {
    pid_t pid = 0;
    ~KillOnExit() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
        }
    }
};

TEST(ProcessRunnerTest, MergesBothStreamsInWriteOrder) {
    const ProcessResult result = shell("echo one; echo two >&2; echo three; echo four >&2");
    EXPECT_EQ(result, (ProcessResult{0, "one\ntwo\nthree\nfour\n", false, false}));
}

TEST(ProcessRunnerTest, PassesArgumentsUnchangedWithoutAShell) {
    const ProcessResult result =
        ProcessRunner::run("/usr/bin/printf", {"[%s]", "two words", "$HOME", "; rm -rf /", ""});
    EXPECT_EQ(result.output, "[two words][$HOME][; rm -rf /][]");
}

TEST(ProcessRunnerTest, NonZeroStatusIsReturnedNotThrown) {
    const ProcessResult result = shell("echo failing; exit 1");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "failing\n");
    EXPECT_FALSE(result.timedOut);
}

TEST(ProcessRunnerTest, InputArrivesOnStandardInputThenEndOfFile) {
    const std::string big(1'000'000, 'x');
    EXPECT_EQ(shell("cat", "secret\n").output, "secret\n");
    // Far more than a pipe holds: fed while the tool runs, never blocking the call.
    EXPECT_EQ(shell("wc -c", big).output, "1000000\n");
}

TEST(ProcessRunnerTest, InputToToolThatNeverReadsDoesNotHang) {
    const ProcessResult result = shell("exit 3", std::string(1'000'000, 'x'), 30.0);
    EXPECT_EQ(result.status, 3);
    EXPECT_FALSE(result.timedOut);
}

TEST(ProcessRunnerTest, IllFormedOutputIsRepaired) {
    EXPECT_EQ(shell("printf 'a\\377b'").output,
              "a\xEF\xBF\xBD"
              "b");
}

TEST(ProcessRunnerTest, TimeLimitTerminatesTool) {
    const auto start = Clock::now();
    const ProcessResult result = shell("echo started; exec sleep 30", std::nullopt, 1.0);
    const double elapsed = secondsSince(start);
    EXPECT_TRUE(result.timedOut);
    EXPECT_TRUE(result.signalled);
    EXPECT_EQ(result.status, SIGTERM);
    EXPECT_EQ(result.output, "started\n");
    EXPECT_GE(elapsed, 1.0);
    EXPECT_LT(elapsed, 10.0);
}

TEST(ProcessRunnerTest, ToolIgnoringTerminationIsKilledAfterGrace) {
    const auto start = Clock::now();
    const std::chrono::milliseconds grace(300);
    const ProcessResult result =
        ProcessRunner::run("/bin/sh", {"-c", "trap '' TERM; while :; do sleep 0.1; done"},
                           std::nullopt, 0.2, nullptr, -1, grace);
    EXPECT_TRUE(result.timedOut);
    EXPECT_TRUE(result.signalled);
    EXPECT_EQ(result.status, SIGKILL);
    EXPECT_GE(secondsSince(start), 0.2 + 0.3);
}

TEST(ProcessRunnerTest, CancellationFromAnotherThreadThrowsAfterToolExits) {
    CancelToken token;
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        token.cancel();
    });
    const auto start = Clock::now();
    try {
        (void)shell("exec sleep 30", std::nullopt, std::nullopt, &token);
        ADD_FAILURE() << "run returned after cancellation";
    } catch (const TesselaError& error) {
        EXPECT_EQ(error, TesselaError::cancelled());
    }
    canceller.join();
    EXPECT_LT(secondsSince(start), 10.0);
}

TEST(ProcessRunnerTest, CancellationBeforeTheEndDiscardsTheResult) {
    CancelToken token;
    token.cancel();
    EXPECT_THROW((void)shell("true", std::nullopt, std::nullopt, &token), TesselaError);
}

// With SIGCHLD ignored (as a host program may set it) the kernel reaps children itself, and the
// tool's status can never be had: that is an error, never a status 0 that passes a failed tool.
TEST(ProcessRunnerTest, StatusThatCannotBeHadIsThrownNotTakenAsSuccess) {
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGCHLD, &ignore, &previous), 0);
    try {
        (void)shell("exit 3");
        ADD_FAILURE() << "a tool whose status is unknown counted as finished";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), ECHILD);
    }
    ::sigaction(SIGCHLD, &previous, nullptr);
    EXPECT_EQ(shell("exit 3").status, 3);
}

TEST(ProcessRunnerTest, ToolRunsInTheFolderHeldForIt) {
    testing::TempFolder temp;
    std::filesystem::create_directories(temp / "held");
    const UniqueFd held(::open((temp / "held").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // The folder is renamed and another put in its place: the tool still works in the one held.
    std::filesystem::rename(temp / "held", temp / "moved");
    std::filesystem::create_directories(temp / "held");
    const ProcessResult result = ProcessRunner::run(
        "/bin/sh", {"-c", "echo x > file; pwd"}, std::nullopt, std::nullopt, nullptr, held.get());
    EXPECT_EQ(result.output, (temp / "moved").string() + "\n");
    EXPECT_TRUE(std::filesystem::exists(temp / "moved/file"));
    EXPECT_FALSE(std::filesystem::exists(temp / "held/file"));
}

TEST(ProcessRunnerTest, MissingOrNonExecutableToolThrowsLaunchError) {
    testing::TempFolder temp;
    try {
        (void)ProcessRunner::run((temp / "missing-tool").string(), {});
        ADD_FAILURE() << "a missing tool was started";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), ENOENT);
    }
    testing::writeFile(temp / "not-executable", "#!/bin/sh\n");
    try {
        (void)ProcessRunner::run((temp / "not-executable").string(), {});
        ADD_FAILURE() << "a non-executable file was started";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), EACCES);
    }
}

TEST(ProcessRunnerTest, ChildInheritsNoDescriptorOfOurs) {
    // Opened without close-on-exec, as careless library code would.
    const UniqueFd leaked(::open("/dev/null", O_RDONLY));
    ASSERT_TRUE(leaked.valid());
    // ls opens the listed folder as its own descriptor 3.
    EXPECT_EQ(ProcessRunner::run("/bin/ls", {"/proc/self/fd"}).output, "0\n1\n2\n3\n");
}

TEST(ProcessRunnerTest, ChildRunsInItsOwnProcessGroup) {
    // Field 5 of /proc/PID/stat is the process group; terminal signals go to ours only.
    const ProcessResult result = shell("cut -d' ' -f5 /proc/$$/stat");
    EXPECT_NE(std::stol(result.output), static_cast<long>(::getpgrp()));
}

TEST(ProcessRunnerTest, ReturnsWhileDaemonisedDescendantKeepsWritingUnharmed) {
    // The tool starts a background writer on both streams, prints its pid and exits at once.
    const auto start = Clock::now();
    const ProcessResult result =
        shell("( while :; do echo tick; echo tock >&2; sleep 0.05; done ) & echo $!; exit 0");
    EXPECT_LT(secondsSince(start), 5.0);
    // The writer may get its first lines out before the pid: take the line of digits.
    pid_t daemon = 0;
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos) {
            daemon = static_cast<pid_t>(std::stol(line));
            break;
        }
    }
    KillOnExit cleanup{daemon};
    ASSERT_GT(daemon, 0);

    // It keeps writing well after the call returned, and is neither blocked nor killed.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(::kill(daemon, 0), 0);
    char state = '?';
    if (FILE* stat = std::fopen(("/proc/" + std::to_string(daemon) + "/stat").c_str(), "r")) {
        EXPECT_EQ(std::fscanf(stat, "%*d %*s %c", &state), 1);
        std::fclose(stat);
    }
    EXPECT_NE(state, 'Z');
}

TEST(ProcessRunnerTest, FloodOfOutputIsBoundedInMemory) {
    // 40 MB, more than the bound: the head and the tail are kept.
    const ProcessResult result =
        shell("echo first; head -c 40000000 /dev/zero | tr '\\0' x; echo; echo last");
    EXPECT_EQ(result.status, 0);
    EXPECT_LE(result.output.size(), ProcessRunner::maxOutputBytes + 100);
    EXPECT_EQ(result.output.rfind("first\n", 0), 0U);
    EXPECT_NE(result.output.find("bytes of output left out]"), std::string::npos);
    EXPECT_EQ(result.output.substr(result.output.size() - 5), "last\n");
}

}  // namespace
}  // namespace tessela
