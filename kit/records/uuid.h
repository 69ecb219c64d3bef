#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessela {

// A 128-bit identifier. Its text form is the canonical upper-case one
// ("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"); parsing also accepts lower case.
class Uuid {
  public:
    // The nil identifier (all zero bits).
    Uuid() = default;

    // Characters of the canonical textual form.
    static constexpr std::size_t textLength = 36;

    // A new random (version 4) identifier.
    [[nodiscard]] static Uuid random();
    [[nodiscard]] static std::optional<Uuid> parse(std::string_view text);

    [[nodiscard]] std::string string() const;
    [[nodiscard]] const std::array<std::uint8_t, 16>& bytes() const noexcept { return bytes_; }

    friend auto operator<=>(const Uuid&, const Uuid&) = default;
    friend bool operator==(const Uuid&, const Uuid&) = default;

  private:
    std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace tessela
