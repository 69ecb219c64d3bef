// Verification throughput: SHA-256 of one large file through the verifier against OpenSSL's raw
// speed on the same bytes in memory, and comparing two 20,000-file trees (both manifests built at
// once) against building the two manifests one after the other.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench/scratch.h"
#include "checks/tree_verifier.h"

namespace {

namespace fs = std::filesystem;
using tessela::bench::randomBytes;

constexpr std::int64_t largeFileBytes = 512L * 1024 * 1024;
constexpr int treeFiles = 20'000;

// A scratch folder for the benchmark data, removed at exit.
const fs::path& scratch() {
    static const fs::path folder = [] {
        std::atexit([] { fs::remove_all(scratch()); });
        return tessela::bench::makeScratch();
    }();
    return folder;
}

const fs::path& largeFile() {
    static const fs::path file = [] {
        const fs::path path = scratch() / "large.bin";
        std::ofstream(path, std::ios::binary)
            << randomBytes(static_cast<std::size_t>(largeFileBytes), 1);
        return path;
    }();
    return file;
}

// Two identical trees of 20,000 files of 1–16 KiB in 200 folders.
const fs::path& treeRoot() {
    static const fs::path root = [] {
        const fs::path path = scratch() / "trees";
        const std::string pool = randomBytes(16 * 1024 + 4096, 2);
        std::mt19937 generator(3);
        std::uniform_int_distribution<std::size_t> size(1024, 16 * 1024);
        for (const char* side : {"source", "copy"}) {
            std::mt19937 sideGenerator = generator;
            for (int index = 0; index < treeFiles; ++index) {
                const fs::path folder = path / side / ("folder" + std::to_string(index % 200));
                fs::create_directories(folder);
                const std::size_t length = size(sideGenerator);
                std::ofstream(folder / ("file" + std::to_string(index)), std::ios::binary)
                    << pool.substr(static_cast<std::size_t>(index) % 4096, length);
            }
        }
        return path;
    }();
    return root;
}

// OpenSSL's raw speed: the same number of bytes hashed from one cache-resident 1 MiB buffer.
void BM_OpenSslRawSha256(benchmark::State& state) {
    const std::string chunk = randomBytes(tessela::TreeVerifier::readSize, 1);
    for (auto _ : state) {
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
        for (std::int64_t done = 0; done < largeFileBytes; done += std::ssize(chunk)) {
            EVP_DigestUpdate(context, chunk.data(), chunk.size());
        }
        unsigned char hash[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(context, hash, &length);
        EVP_MD_CTX_free(context);
        benchmark::DoNotOptimize(hash);
    }
    state.SetBytesProcessed(state.iterations() * largeFileBytes);
}
BENCHMARK(BM_OpenSslRawSha256)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_VerifierDigestLargeFile(benchmark::State& state) {
    const fs::path& file = largeFile();
    (void)tessela::TreeVerifier::digest(file);  // warm the page cache
    for (auto _ : state) {
        benchmark::DoNotOptimize(tessela::TreeVerifier::digest(file));
    }
    state.SetBytesProcessed(state.iterations() * largeFileBytes);
}
BENCHMARK(BM_VerifierDigestLargeFile)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_CompareTwoTrees(benchmark::State& state) {
    const fs::path& root = treeRoot();
    for (auto _ : state) {
        const auto mismatches = tessela::TreeVerifier::compare(root / "source", root / "copy", {});
        if (!mismatches.empty()) {
            state.SkipWithError("trees differ");
        }
    }
    state.SetItemsProcessed(state.iterations() * 2 * treeFiles);
}
BENCHMARK(BM_CompareTwoTrees)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_TwoManifestsInARow(benchmark::State& state) {
    const fs::path& root = treeRoot();
    for (auto _ : state) {
        benchmark::DoNotOptimize(tessela::TreeVerifier::manifest(root / "source", {}));
        benchmark::DoNotOptimize(tessela::TreeVerifier::manifest(root / "copy", {}));
    }
    state.SetItemsProcessed(state.iterations() * 2 * treeFiles);
}
BENCHMARK(BM_TwoManifestsInARow)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
