#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessela::base64 {

// Standard alphabet with '=' padding.
[[nodiscard]] std::string encode(const std::vector<std::uint8_t>& bytes);

// Strict decoding: only the standard alphabet, length a multiple of four, padding only at the
// end. Anything else yields none, so a tampered file is caught as damaged rather than misread.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> decode(std::string_view text);

// The URL-safe alphabet ('-' and '_' for '+' and '/') without padding, as file names use it.
[[nodiscard]] std::string encodeUrl(const std::vector<std::uint8_t>& bytes);
// Strict as decode(): only that alphabet, no padding, no length a group cannot end with.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> decodeUrl(std::string_view text);

}  // namespace tessela::base64
