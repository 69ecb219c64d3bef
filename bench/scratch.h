#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>

namespace tessela::bench {

// Helpers shared by the benchmarks.

// A new folder for a benchmark's data under $TMPDIR (default /var/tmp, a disk-backed folder);
// the caller removes it.
inline std::filesystem::path makeScratch() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        (std::filesystem::path(base != nullptr && *base != '\0' ? base : "/var/tmp") /
         "tessela-bench-XXXXXX")
            .string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("could not make a scratch folder in " + pattern);
    }
    return pattern;
}

// `size` pseudo-random bytes (incompressible, repeatable for a seed).
inline std::string randomBytes(std::size_t size, unsigned seed) {
    std::mt19937_64 generator(seed);
    std::string bytes(size, '\0');
    for (std::size_t index = 0; index + 8 <= size; index += 8) {
        const std::uint64_t value = generator();
        std::memcpy(bytes.data() + index, &value, 8);
    }
    return bytes;
}

}  // namespace tessela::bench
