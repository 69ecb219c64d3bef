#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace tessela::bench {

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

}  // namespace tessela::bench
