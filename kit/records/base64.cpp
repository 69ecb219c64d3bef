#include "records/base64.h"

namespace tessela::base64 {

namespace {

constexpr std::string_view alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int valueOf(char character) {
    const auto position = alphabet.find(character);
    return position == std::string_view::npos ? -1 : static_cast<int>(position);
}

}  // namespace

std::string encode(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t index = 0;
    for (; index + 3 <= bytes.size(); index += 3) {
        const std::uint32_t group = (std::uint32_t{bytes[index]} << 16) |
                                    (std::uint32_t{bytes[index + 1]} << 8) | bytes[index + 2];
        text += alphabet[(group >> 18) & 63];
        text += alphabet[(group >> 12) & 63];
        text += alphabet[(group >> 6) & 63];
        text += alphabet[group & 63];
    }
    const std::size_t rest = bytes.size() - index;
    if (rest > 0) {
        std::uint32_t group = std::uint32_t{bytes[index]} << 16;
        if (rest == 2) {
            group |= std::uint32_t{bytes[index + 1]} << 8;
        }
        text += alphabet[(group >> 18) & 63];
        text += alphabet[(group >> 12) & 63];
        text += rest == 2 ? alphabet[(group >> 6) & 63] : '=';
        text += '=';
    }
    return text;
}

std::optional<std::vector<std::uint8_t>> decode(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (std::size_t index = 0; index < text.size(); index += 4) {
        const bool last = index + 4 == text.size();
        int values[4];
        int padding = 0;
        for (int offset = 0; offset < 4; ++offset) {
            const char character = text[index + static_cast<std::size_t>(offset)];
            if (character == '=' && last && offset >= 2) {
                values[offset] = 0;
                ++padding;
                continue;
            }
            if (padding > 0) {
                return std::nullopt;  // data after padding
            }
            values[offset] = valueOf(character);
            if (values[offset] < 0) {
                return std::nullopt;
            }
        }
        const auto group = static_cast<std::uint32_t>((values[0] << 18) | (values[1] << 12) |
                                                      (values[2] << 6) | values[3]);
        bytes.push_back(static_cast<std::uint8_t>(group >> 16));
        if (padding < 2) {
            bytes.push_back(static_cast<std::uint8_t>((group >> 8) & 0xFF));
        }
        if (padding < 1) {
            bytes.push_back(static_cast<std::uint8_t>(group & 0xFF));
        }
    }
    return bytes;
}

std::string encodeUrl(const std::vector<std::uint8_t>& bytes) {
    std::string text = encode(bytes);
    while (!text.empty() && text.back() == '=') {
        text.pop_back();
    }
    for (char& character : text) {
        character = character == '+' ? '-' : character == '/' ? '_' : character;
    }
    return text;
}

std::optional<std::vector<std::uint8_t>> decodeUrl(std::string_view text) {
    if (text.size() % 4 == 1) {
        return std::nullopt;
    }
    std::string standard(text);
    for (char& character : standard) {
        if (character == '+' || character == '/' || character == '=') {
            return std::nullopt;
        }
        character = character == '-' ? '+' : character == '_' ? '/' : character;
    }
    standard.append((4 - standard.size() % 4) % 4, '=');
    std::optional<std::vector<std::uint8_t>> bytes = decode(standard);
    // Only the canonical spelling: unused bits of the last character are zero.
    if (bytes && encodeUrl(*bytes) != text) {
        return std::nullopt;
    }
    return bytes;
}

}  // namespace tessela::base64
