// Times of the disk image tool's operations with gocryptfs' default key-derivation cost, as the
// application runs them: create, attach (read-write), detach.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench/scratch.h"
#include "process/disk_image_tool.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* password = "correct horse battery";

void BM_Create(benchmark::State& state) {
    const fs::path scratch = tessela::bench::makeScratch();
    const tessela::DiskImageTool tool;
    int count = 0;
    for (auto _ : state) {
        tool.create(scratch / (std::to_string(++count) + ".sparsebundle"), "Bench", password);
    }
    fs::remove_all(scratch);
}
BENCHMARK(BM_Create)->Unit(benchmark::kMillisecond)->Iterations(5);

// An image and an empty mount folder in a scratch folder, removed afterwards.
struct ImageToMount {
    ImageToMount() {
        tool.create(image, "Bench", password);
        fs::create_directory(mountPoint);
    }
    ~ImageToMount() { fs::remove_all(scratch); }
    ImageToMount(const ImageToMount&) = delete;
    ImageToMount& operator=(const ImageToMount&) = delete;

    const fs::path scratch = tessela::bench::makeScratch();
    const tessela::DiskImageTool tool;
    const fs::path image = scratch / "image.sparsebundle";
    const fs::path mountPoint = scratch / "mount";
};

void BM_Attach(benchmark::State& state) {
    const ImageToMount bench;
    for (auto _ : state) {
        bench.tool.attach(bench.image, bench.mountPoint, password, false);
        state.PauseTiming();
        bench.tool.detach(bench.mountPoint, false);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_Attach)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_Detach(benchmark::State& state) {
    const ImageToMount bench;
    for (auto _ : state) {
        state.PauseTiming();
        bench.tool.attach(bench.image, bench.mountPoint, password, false);
        state.ResumeTiming();
        bench.tool.detach(bench.mountPoint, false);
    }
}
BENCHMARK(BM_Detach)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
