#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "records/json_codec.h"
#include "records/uuid.h"

namespace tessela {

// What the system remembers about one locked item: one element of the item index.
struct LockedItem {
    enum class Kind { file, folder };
    // originalPending: the unlocked original still has to be removed; complete: it has been.
    enum class Stage { originalPending, complete };

    Uuid id;
    std::string displayName;
    Kind kind = Kind::file;
    std::optional<std::vector<std::uint8_t>> bookmark;
    std::string lastKnownPath;
    Timestamp createdAt{};
    std::int64_t passwordGeneration = 0;
    Stage stage = Stage::complete;
    std::optional<std::string> originalPath;
    std::optional<std::int64_t> contentSize;

    friend bool operator==(const LockedItem&, const LockedItem&) = default;

    // The stored form: an object whose optional keys are left out when absent.
    [[nodiscard]] nlohmann::json toJson() const;
    // Throws DecodingError for a missing required key, a wrong type or an unknown kind or stage.
    [[nodiscard]] static LockedItem fromJson(const nlohmann::json& object);
};

[[nodiscard]] std::string_view rawValue(LockedItem::Kind kind);
[[nodiscard]] std::optional<LockedItem::Kind> kindFromRawValue(std::string_view text);
[[nodiscard]] std::string_view rawValue(LockedItem::Stage stage);
[[nodiscard]] std::optional<LockedItem::Stage> stageFromRawValue(std::string_view text);

}  // namespace tessela
