// Locking measured against doing the same job by hand, on the same data in the same run:
//   lock           Locker::lock of the item (create, copy in, verify, put in place, remove)
//   copy + read    cp -a into a fresh gocryptfs mount, then one read of the copy
//   by hand        cp -a into a fresh gocryptfs mount, then sha256sum of every file on both sides
// for (a) one 1 GiB file and (b) 20,000 files of 1–64 KiB; then unlock and relock of the locked
// item, and removing its lock against copying the content out of a mount and reading it once. Mount
// set-up is not timed for the two baselines; the lock's own image creation (with the default
// key-derivation cost) is. Data stays in the page cache (no cache dropping without root), as it
// would right after being written.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "bench/scratch.h"
#include "engine/locker.h"
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

void makeLargeFile(const fs::path& file) {
    fs::create_directories(file.parent_path());
    std::ofstream stream(file, std::ios::binary);
    const std::string chunk = randomBytes(64 * 1024 * 1024, 1);
    for (int part = 0; part < 16; ++part) {
        stream << chunk;
    }
}

void makeTree(const fs::path& root) {
    const std::string pool = randomBytes(64 * 1024 + 8192, 2);
    std::mt19937 generator(3);
    std::uniform_int_distribution<std::size_t> size(1024, 64 * 1024);
    for (int index = 0; index < 20'000; ++index) {
        const fs::path folder = root / ("folder" + std::to_string(index % 200));
        fs::create_directories(folder);
        std::ofstream(folder / ("file" + std::to_string(index)), std::ios::binary)
            << pool.substr(static_cast<std::size_t>(index) % 8192, size(generator));
    }
}

struct Figures {
    double lock = 0;
    double copyPlusRead = 0;
    double byHand = 0;
    double unlock = 0;
    double relock = 0;
    double removeLock = 0;
    double copyOutPlusRead = 0;
};

Figures measure(const fs::path& scratch, const std::string& name, void (*make)(const fs::path&)) {
    const tessela::DiskImageTool tool;
    Figures figures;
    const fs::path home = scratch / "home";
    const fs::path item = home / name;

    // Baselines first, on the same data.
    make(item);
    for (int baseline = 0; baseline < 2; ++baseline) {
        const fs::path image = scratch / ("baseline" + std::to_string(baseline) + ".sparsebundle");
        const fs::path mountPoint = scratch / ("mount" + std::to_string(baseline));
        fs::create_directories(mountPoint);
        tool.create(image, "Bench", password);
        tool.attach(image, mountPoint, password, false);
        const auto start = Clock::now();
        shell("cp -a -- " + quoted(item) + " " + quoted(mountPoint));
        if (baseline == 0) {
            shell("find " + quoted(mountPoint) + " -type f -exec cat {} + > /dev/null");
            figures.copyPlusRead = seconds(start);
        } else {
            shell("find " + quoted(item) + " " + quoted(mountPoint) +
                  " -type f -print0 | xargs -0 sha256sum > /dev/null");
            figures.byHand = seconds(start);
        }
        tool.detach(mountPoint, false);
        fs::remove_all(image);
    }

    tessela::Locker locker(scratch / "support", home, std::nullopt, tool);
    auto start = Clock::now();
    const fs::path locked = locker.lock(item, password, 1).lastKnownPath;
    figures.lock = seconds(start);

    start = Clock::now();
    const tessela::OpenItem open = locker.unlock(locked, password);
    figures.unlock = seconds(start);
    start = Clock::now();
    locker.relock(open, false);
    figures.relock = seconds(start);

    // By hand: copy the content out of a read-only mount, then read the copy once.
    const fs::path mountPoint = scratch / "out-mount";
    const fs::path restoredByHand = scratch / "restored-by-hand";
    fs::create_directories(mountPoint);
    tool.attach(locked, mountPoint, password, true);
    start = Clock::now();
    shell("cp -a -- " + quoted(mountPoint) + " " + quoted(restoredByHand));
    shell("find " + quoted(restoredByHand) + " -type f -exec cat {} + > /dev/null");
    figures.copyOutPlusRead = seconds(start);
    tool.detach(mountPoint, false);
    fs::remove_all(restoredByHand);

    start = Clock::now();
    (void)locker.removeLock(locked, password);
    figures.removeLock = seconds(start);
    fs::remove_all(home);
    fs::remove_all(scratch / "support");
    return figures;
}

void print(const char* label, const Figures& figures) {
    std::printf("%s\n", label);
    std::printf(
        "  lock %.2f s   copy+read %.2f s   by hand %.2f s   lock/(copy+read) %.2f   "
        "by hand/lock %.2f\n",
        figures.lock, figures.copyPlusRead, figures.byHand, figures.lock / figures.copyPlusRead,
        figures.byHand / figures.lock);
    std::printf("  unlock %.3f s   relock %.3f s\n", figures.unlock, figures.relock);
    std::printf("  remove lock %.2f s   copy out+read %.2f s   remove/(copy out+read) %.2f\n",
                figures.removeLock, figures.copyOutPlusRead,
                figures.removeLock / figures.copyOutPlusRead);
}

}  // namespace

int main() {
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        std::fprintf(stderr, "lock_bench needs a usable /dev/fuse\n");
        return 1;
    }
    const fs::path scratch = tessela::bench::makeScratch();
    print("one 1 GiB file", measure(scratch, "Large.bin", &makeLargeFile));
    print("20,000 files of 1-64 KiB", measure(scratch, "Tree", &makeTree));
    fs::remove_all(scratch);
    return 0;
}
