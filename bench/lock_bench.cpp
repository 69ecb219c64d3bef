// Locking and removing a lock, measured against doing the same job by hand on the same data in
// the same run, for (a) one 1 GiB file and (b) 20,000 files of 1–64 KiB:
//   lock             Locker::lock (create, copy in, verify, flush, put in place, remove)
//   lock baseline    what any lock has to do: create and attach a fresh image, cp -a into it,
//                    one syncfs of the disk under it, detach, re-attach read-only, read every
//                    file once
//   cp alone         cp -a into a fresh mount, nothing else (no flush, no read back)
//   by hand          cp -a into a fresh mount, then sha256sum of every file on both sides
//   removal          Locker::removeLock
//   removal baseline cp -a out of a read-only mount, then one read of the copy
// Until the next release it also prints the old, flattering baseline ("copy+read (old)": the
// copy read back through the same mount, mostly from the page cache).
// Then: peak memory of a 100,000-file lock (in a child process, getrusage), start-up with an
// empty journal (`tessela status` as a whole process, median of 20), and how long a
// cancellation takes to land at several moments of a lock.
// Data stays in the page cache (no cache dropping without root), as right after being written.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/scratch.h"
#include "engine/locker.h"
#include "errors/tessela_error.h"
#include "posix/unique_fd.h"
#include "process/process_runner.h"

namespace {

namespace fs = std::filesystem;
using tessela::bench::randomBytes;
using Clock = std::chrono::steady_clock;

constexpr const char* password = "correct horse battery";

double seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void shell(const std::string& script) {
    const tessela::ProcessResult result = tessela::ProcessRunner::run("/bin/sh", {"-c", script});
    if (result.status != 0) {
        std::fprintf(stderr, "failed: %s\n%s\n", script.c_str(), result.output.c_str());
        std::exit(1);
    }
}

std::string quoted(const fs::path& path) {
    return "'" + path.string() + "'";
}

void readEveryFile(const fs::path& root) {
    shell("find " + quoted(root) + " -type f -exec cat {} + > /dev/null");
}

void flushFileSystemOf(const fs::path& folder) {
    const tessela::UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd || ::syncfs(fd.get()) != 0) {
        std::perror("syncfs");
        std::exit(1);
    }
}

void makeLargeFile(const fs::path& file) {
    fs::create_directories(file.parent_path());
    std::ofstream stream(file, std::ios::binary);
    const std::string chunk = randomBytes(64 * 1024 * 1024, 1);
    for (int part = 0; part < 16; ++part) {
        stream << chunk;
    }
}

void makeTree(const fs::path& root, int files, std::size_t smallest, std::size_t largest) {
    const std::string pool = randomBytes(largest + 8192, 2);
    std::mt19937 generator(3);
    std::uniform_int_distribution<std::size_t> size(smallest, largest);
    for (int index = 0; index < files; ++index) {
        const fs::path folder = root / ("folder" + std::to_string(index % 200));
        fs::create_directories(folder);
        std::ofstream(folder / ("file" + std::to_string(index)), std::ios::binary)
            << pool.substr(static_cast<std::size_t>(index) % 8192, size(generator));
    }
}

void makeBenchTree(const fs::path& root) {
    makeTree(root, 20'000, 1024, 64 * 1024);
}

struct Figures {
    double lock = 0;
    double lockBaseline = 0;
    double copyPlusReadOld = 0;
    double copyAlone = 0;
    double byHand = 0;
    double unlock = 0;
    double relock = 0;
    double removeLock = 0;
    double removalBaseline = 0;
    std::string lockSteps;
    std::string removalSteps;
};

// Records when each step begins, and prints the time each took.
class StepClock {
  public:
    tessela::ProgressCallback callback() {
        return [this](tessela::LockStep step) {
            const auto now = Clock::now();
            close(now);
            step_ = std::string(tessela::rawValue(step));
            since_ = now;
        };
    }
    std::string finish() {
        close(Clock::now());
        return text_;
    }

  private:
    void close(Clock::time_point now) {
        if (!step_.empty()) {
            char line[96];
            std::snprintf(line, sizeof line, " %s %.2f", step_.c_str(),
                          std::chrono::duration<double>(now - since_).count());
            text_ += line;
        }
    }
    std::string step_;
    std::string text_;
    Clock::time_point since_;
};

// A fresh image attached read-write at a fresh mount folder; set-up not timed.
struct FreshMount {
    FreshMount(const tessela::DiskImageTool& imageTool, const fs::path& scratch,
               const std::string& name)
        : tool(imageTool), image(scratch / (name + ".sparsebundle")), mountPoint(scratch / name) {
        fs::create_directories(mountPoint);
        tool.create(image, "Bench", password);
        tool.attach(image, mountPoint, password, false);
    }
    ~FreshMount() {
        try {
            tool.detach(mountPoint, false);
        } catch (const std::exception&) {
            // already detached
        }
        fs::remove_all(image);
        fs::remove(mountPoint);
    }
    FreshMount(const FreshMount&) = delete;
    FreshMount& operator=(const FreshMount&) = delete;

    const tessela::DiskImageTool& tool;
    fs::path image;
    fs::path mountPoint;
};

Figures measure(const fs::path& scratch, const std::string& name, void (*make)(const fs::path&)) {
    const tessela::DiskImageTool tool;
    Figures figures;
    const fs::path home = scratch / "home";
    const fs::path item = home / name;
    make(item);
    flushFileSystemOf(scratch);

    {
        FreshMount mount(tool, scratch, "old");
        const auto start = Clock::now();
        shell("cp -a -- " + quoted(item) + " " + quoted(mount.mountPoint));
        readEveryFile(mount.mountPoint);
        figures.copyPlusReadOld = seconds(start);
    }
    flushFileSystemOf(scratch);
    {
        FreshMount mount(tool, scratch, "alone");
        const auto start = Clock::now();
        shell("cp -a -- " + quoted(item) + " " + quoted(mount.mountPoint));
        figures.copyAlone = seconds(start);
    }
    flushFileSystemOf(scratch);
    {
        FreshMount mount(tool, scratch, "hand");
        const auto start = Clock::now();
        shell("cp -a -- " + quoted(item) + " " + quoted(mount.mountPoint));
        shell("find " + quoted(item) + " " + quoted(mount.mountPoint) +
              " -type f -print0 | xargs -0 sha256sum > /dev/null");
        figures.byHand = seconds(start);
    }
    flushFileSystemOf(scratch);
    {
        // The way a lock has to work, the image's creation (key derivation) included.
        const fs::path image = scratch / "honest.sparsebundle";
        const fs::path mountPoint = scratch / "honest";
        fs::create_directories(mountPoint);
        const auto start = Clock::now();
        tool.create(image, "Bench", password);
        tool.attach(image, mountPoint, password, false);
        shell("cp -a -- " + quoted(item) + " " + quoted(mountPoint));
        tool.detach(mountPoint, false);
        flushFileSystemOf(scratch);
        tool.attach(image, mountPoint, password, true);
        readEveryFile(mountPoint);
        tool.detach(mountPoint, false);
        figures.lockBaseline = seconds(start);
        fs::remove_all(image);
        fs::remove(mountPoint);
    }
    flushFileSystemOf(scratch);

    tessela::Locker locker(scratch / "support", home, std::nullopt, tool);
    auto start = Clock::now();
    StepClock lockSteps;
    const fs::path locked =
        locker.lock(item, password, 1, nullptr, lockSteps.callback()).lastKnownPath;
    figures.lock = seconds(start);
    figures.lockSteps = lockSteps.finish();

    start = Clock::now();
    const tessela::OpenItem open = locker.unlock(locked, password);
    figures.unlock = seconds(start);
    start = Clock::now();
    locker.relock(open, false);
    figures.relock = seconds(start);

    // Copy the content out of a read-only mount, then read the copy once.
    const fs::path mountPoint = scratch / "out-mount";
    const fs::path restoredByHand = scratch / "restored-by-hand";
    fs::create_directories(mountPoint);
    tool.attach(locked, mountPoint, password, true);
    flushFileSystemOf(scratch);  // each side starts with nothing left to write back
    start = Clock::now();
    shell("cp -a -- " + quoted(mountPoint) + " " + quoted(restoredByHand));
    readEveryFile(restoredByHand);
    figures.removalBaseline = seconds(start);
    tool.detach(mountPoint, false);
    fs::remove_all(restoredByHand);
    flushFileSystemOf(scratch);

    start = Clock::now();
    StepClock removalSteps;
    (void)locker.removeLock(locked, password, nullptr, removalSteps.callback());
    figures.removeLock = seconds(start);
    figures.removalSteps = removalSteps.finish();
    fs::remove_all(home);
    fs::remove_all(scratch / "support");
    return figures;
}

// The goals: a lock of one large file faster than cp alone into a fresh mount; a lock of many
// small files at most 0.6 of the honest baseline; a removal within 1.2 of copying out and
// reading once.
void print(const char* label, const Figures& figures, bool large) {
    std::printf("%s\n", label);
    std::printf("  lock %.2f s   lock baseline %.2f s   lock/baseline %.2f%s\n", figures.lock,
                figures.lockBaseline, figures.lock / figures.lockBaseline,
                large ? "" : " (goal at most 0.60)");
    std::printf("   steps (s):%s\n", figures.lockSteps.c_str());
    std::printf("  cp alone %.2f s   lock/cp alone %.2f%s\n", figures.copyAlone,
                figures.lock / figures.copyAlone, large ? " (goal below 1)" : "");
    std::printf("  by hand %.2f s   by hand/lock %.2f\n", figures.byHand,
                figures.byHand / figures.lock);
    std::printf("  copy+read (old) %.2f s   lock/(copy+read) (old) %.2f\n", figures.copyPlusReadOld,
                figures.lock / figures.copyPlusReadOld);
    std::printf("  unlock %.3f s   relock %.3f s\n", figures.unlock, figures.relock);
    std::printf("  removal %.2f s   removal baseline %.2f s   removal/baseline %.2f (goal 1.20)\n",
                figures.removeLock, figures.removalBaseline,
                figures.removeLock / figures.removalBaseline);
    std::printf("   steps (s):%s\n", figures.removalSteps.c_str());
}

// Peak resident memory of a lock of 100,000 small files, in a child process of its own.
void peakMemory(const fs::path& scratch) {
    const fs::path home = scratch / "memory-home";
    makeTree(home / "Many", 100'000, 1, 4096);
    flushFileSystemOf(scratch);
    const auto start = Clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        try {
            tessela::Locker locker(scratch / "memory-support", home, std::nullopt,
                                   tessela::DiskImageTool());
            (void)locker.lock(home / "Many", password, 1);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "lock of 100,000 files: %s\n", error.what());
            ::_exit(1);
        }
        ::_exit(0);
    }
    int status = 0;
    rusage usage{};
    if (::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        std::exit(1);
    }
    std::printf("100,000 files: lock %.1f s, peak memory %.1f MB (goal under 200 MB)\n",
                seconds(start), static_cast<double>(usage.ru_maxrss) / 1000.0);
    fs::remove_all(home);
    fs::remove_all(scratch / "memory-support");
}

// `tessela status` with an empty journal: the whole process, start-up recovery included.
void startUp(const fs::path& scratch) {
    const fs::path home = scratch / "status-home";
    fs::create_directories(home);
    std::vector<double> times;
    for (int run = 0; run < 20; ++run) {
        const auto start = Clock::now();
        const tessela::ProcessResult result = tessela::ProcessRunner::run(
            "/usr/bin/env", {"TESSELA_SUPPORT_DIR=" + (scratch / "status-support").string(),
                             "HOME=" + home.string(), TESSELA_PROGRAM, "status"});
        times.push_back(seconds(start));
        if (result.status != 0) {
            std::fprintf(stderr, "tessela status: %s\n", result.output.c_str());
            std::exit(1);
        }
    }
    std::sort(times.begin(), times.end());
    std::printf("tessela status, empty journal: median %.1f ms of 20 (goal under 50 ms)\n",
                (times[9] + times[10]) / 2 * 1000);
    fs::remove_all(home);
    fs::remove_all(scratch / "status-support");
}

// How long after cancel() the lock gives up, cancelled at several moments of the lock of a
// large file (creating the image, copying, verifying).
void cancelLatency(const fs::path& scratch) {
    const fs::path home = scratch / "cancel-home";
    const fs::path item = home / "Large.bin";
    makeLargeFile(item);
    tessela::Locker locker(scratch / "cancel-support", home, std::nullopt,
                           tessela::DiskImageTool());
    double worst = 0;
    std::printf("cancel latency:");
    for (const int after : {100, 400, 800, 1500, 2500, 4000, 6000}) {
        tessela::CancelToken token;
        Clock::time_point cancelledAt;
        std::thread canceller([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(after));
            cancelledAt = Clock::now();
            token.cancel();
        });
        try {
            (void)locker.lock(item, password, 1, &token);
            canceller.join();
            std::printf(" (done before %d ms)", after);
            break;
        } catch (const tessela::TesselaError&) {
            canceller.join();
            const double latency = seconds(cancelledAt) * 1000;
            worst = std::max(worst, latency);
            std::printf(" %.0f ms", latency);
        }
    }
    std::printf("; worst %.0f ms (goal under 100 ms)\n", worst);
    fs::remove_all(home);
    fs::remove_all(scratch / "cancel-support");
}

}  // namespace

// Without arguments every part runs; otherwise only those named: memory, startup, large, tree,
// cancel. Options meant for other benchmarks ("--…") are ignored.
int main(int argc, char** argv) {
    std::vector<std::string> parts;
    for (int index = 1; index < argc; ++index) {
        if (!std::string_view(argv[index]).starts_with("--")) {
            parts.emplace_back(argv[index]);
        }
    }
    const auto wanted = [&](const std::string& part) {
        return parts.empty() || std::find(parts.begin(), parts.end(), part) != parts.end();
    };
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each figure as soon as it is known
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        std::fprintf(stderr, "lock_bench needs a usable /dev/fuse\n");
        return 1;
    }
    double load[3] = {};
    if (::getloadavg(load, 3) == 3) {
        std::printf("load average %.2f %.2f %.2f, %u cores\n", load[0], load[1], load[2],
                    std::thread::hardware_concurrency());
    }
    const fs::path scratch = tessela::bench::makeScratch();
    if (wanted("memory")) {
        peakMemory(scratch);
    }
    if (wanted("startup")) {
        startUp(scratch);
    }
    if (wanted("large")) {
        print("one 1 GiB file", measure(scratch, "Large.bin", &makeLargeFile), true);
    }
    if (wanted("tree")) {
        print("20,000 files of 1-64 KiB", measure(scratch, "Tree", &makeBenchTree), false);
    }
    if (wanted("cancel")) {
        cancelLatency(scratch);
    }
    fs::remove_all(scratch);
    return 0;
}
