#pragma once

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <string>

#include "container/container_keys.h"

// Damage done to a container's own files, the way the tampering tests do it.
namespace tessela::testing {

// Sealed block `number` of the container file `file` (IV, sealed bytes, tag).
inline std::string sealedBlock(const std::filesystem::path& file, std::size_t number) {
    std::ifstream in(file, std::ios::binary);
    in.seekg(
        static_cast<std::streamoff>(container::headerSize + number * container::sealedBlockSize));
    std::string bytes(container::sealedBlockSize, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

// Writes `bytes` over sealed block `number` of `file`.
inline void putSealedBlock(const std::filesystem::path& file, std::size_t number,
                           const std::string& bytes) {
    std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
    stream.seekp(
        static_cast<std::streamoff>(container::headerSize + number * container::sealedBlockSize));
    stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Swaps the name tweaks of two folders of a container.
inline void swapTweaks(const std::filesystem::path& one, const std::filesystem::path& other) {
    const std::filesystem::path passing = one / "tweak in passing";
    std::filesystem::rename(one / container::dirIvName, passing);
    std::filesystem::rename(other / container::dirIvName, one / container::dirIvName);
    std::filesystem::rename(passing, other / container::dirIvName);
}

}  // namespace tessela::testing
