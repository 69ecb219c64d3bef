// The command line with the desktop application running, each run a whole process:
//   lock alone      `tessela lock` of a small file, the command line doing the work itself
//   lock handed     the same, handed to the running application (offscreen), which does it
//   status          `tessela status` while the application holds the records
// Medians of 10 runs (20 for status). Goals: the hand-over within 1.2× of the lock alone, status
// under 50 ms. A private session bus with a scratch keyring holds the password.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/scratch.h"
#include "process/process_runner.h"
#include "support/child_process.h"
#include "support/keyring_session.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Runs tessela with `arguments`; returns its time in milliseconds, or fails the benchmark.
double timed(const std::vector<std::string>& arguments, const std::string& input = {}) {
    const auto start = Clock::now();
    const tessela::ProcessResult result =
        tessela::ProcessRunner::run(TESSELA_PROGRAM, arguments, input, 120.0);
    const double took = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (result.status != 0) {
        std::fprintf(stderr, "tessela failed: %s\n", result.output.c_str());
        std::exit(1);
    }
    return took;
}

}  // namespace

int main() {
    const fs::path scratch = tessela::bench::makeScratch();
    int status = 0;
    {
        const tessela::testing::KeyringSession keyring;
        ::setenv("TESSELA_SUPPORT_DIR", (scratch / "support").c_str(), 1);
        ::setenv("HOME", (scratch / "home").c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        fs::create_directories(scratch / "home/Docs");
        (void)timed({"setup", "--password-stdin"}, "correct horse battery\n");

        const auto lockRuns = [&](const std::string& prefix) {
            std::vector<double> runs;
            for (int run = 0; run < 10; ++run) {
                const fs::path file =
                    scratch / "home/Docs" / (prefix + std::to_string(run) + ".txt");
                std::ofstream(file) << "a small file\n";
                runs.push_back(timed({"lock", file.string()}));
            }
            return median(runs);
        };
        const double alone = lockRuns("alone ");

        tessela::testing::ChildProcess application(TESSELA_PROGRAM, {});
        const fs::path socket = fs::path(std::getenv("XDG_RUNTIME_DIR")) / "tessela/command.sock";
        for (int waited = 0; waited < 400 && !fs::exists(socket); ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        const double handed = lockRuns("handed ");
        std::vector<double> statuses;
        for (int run = 0; run < 20; ++run) {
            statuses.push_back(timed({"status"}));
        }
        const double statusTime = median(statuses);
        (void)timed({"quit"});
        (void)application.wait();

        std::printf("lock alone    %8.1f ms\n", alone);
        std::printf("lock handed   %8.1f ms   %.2f× (goal: at most 1.20×)\n", handed,
                    handed / alone);
        std::printf("status        %8.1f ms   (goal: under 50 ms)\n", statusTime);
        status = handed <= 1.2 * alone && statusTime < 50.0 ? 0 : 1;
    }
    fs::remove_all(scratch);
    return status;
}
