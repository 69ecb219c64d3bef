#include "text/utf8.h"

#include <cstdint>

namespace tessela {

namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";

// The length of the well-formed sequence starting at `index`, or 0 when ill-formed; on 0,
// `consumed` tells how many bytes the maximal ill-formed subpart spans (at least 1).
std::size_t wellFormedLength(std::string_view bytes, std::size_t index, std::size_t& consumed) {
    const auto byteAt = [&](std::size_t offset) {
        return static_cast<std::uint8_t>(bytes[index + offset]);
    };
    const std::uint8_t lead = byteAt(0);
    consumed = 1;
    std::size_t length;
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) {
            low = 0xA0;  // no overlong forms
        } else if (lead == 0xED) {
            high = 0x9F;  // no surrogates
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) {
            low = 0x90;
        } else if (lead == 0xF4) {
            high = 0x8F;  // nothing above U+10FFFF
        }
    } else {
        return 0;
    }
    for (std::size_t offset = 1; offset < length; ++offset) {
        if (index + offset >= bytes.size()) {
            return 0;
        }
        const std::uint8_t next = byteAt(offset);
        const std::uint8_t min = offset == 1 ? low : std::uint8_t{0x80};
        const std::uint8_t max = offset == 1 ? high : std::uint8_t{0xBF};
        if (next < min || next > max) {
            return 0;
        }
        consumed = offset + 1;
    }
    return length;
}

}  // namespace

std::string repairUtf8(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    std::size_t index = 0;
    while (index < bytes.size()) {
        std::size_t consumed = 0;
        const std::size_t length = wellFormedLength(bytes, index, consumed);
        if (length > 0) {
            text.append(bytes.substr(index, length));
            index += length;
        } else {
            text.append(replacement);
            index += consumed;
        }
    }
    return text;
}

std::string shortenUtf8(std::string text, std::size_t limit) {
    while (!text.empty() && text.size() >= limit) {
        std::size_t end = text.size() - 1;
        while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
            --end;
        }
        text.erase(end);
    }
    return text;
}

std::string terminalSafe(std::string_view bytes) {
    const std::string text = repairUtf8(bytes);
    std::string safe;
    safe.reserve(text.size());
    for (std::size_t index = 0; index < text.size(); ++index) {
        const auto code = static_cast<unsigned char>(text[index]);
        const auto next = index + 1 < text.size() ? static_cast<unsigned char>(text[index + 1]) : 0;
        if (code < 0x20 || code == 0x7F) {
            safe += '?';
        } else if (code == 0xC2 && next >= 0x80 && next <= 0x9F) {
            safe += '?';  // U+0080–U+009F, the C1 controls
            ++index;
        } else {
            safe += text[index];
        }
    }
    return safe;
}

}  // namespace tessela
