#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "records/locked_item.h"

namespace tessela {

// The small record at the root of every locked item's encrypted volume. It travels with the
// locked file, so an item that was moved, copied elsewhere or lost from the index still tells
// its name and kind once opened. Written once by the lock; read by everything after it.
struct ItemMarker {
    static constexpr const char* fileName = ".tessela-item.json";

    std::int64_t formatVersion = 1;
    LockedItem::Kind kind = LockedItem::Kind::file;
    std::string name;
    // A folder's own permission bits (mode & 07777). The volume root keeps the locked bundle's
    // private mode, so the folder's travels here and is given back when the lock is removed.
    // Absent in markers of files and of earlier locks (the volume root's mode is used then).
    std::optional<std::uint32_t> mode;

    ItemMarker() = default;
    ItemMarker(LockedItem::Kind markerKind, std::string markerName)
        : kind(markerKind), name(std::move(markerName)) {}

    friend bool operator==(const ItemMarker&, const ItemMarker&) = default;

    // Writes the marker as compact JSON to a new file root/".tessela-item.json" (a plain write:
    // the volume is verified and flushed later by the lock). Never replaces anything: a file
    // already there (the user's own, copied in) fails with EEXIST. Throws std::system_error.
    void write(const std::filesystem::path& volumeRoot) const;
    // The marker as write() writes it.
    [[nodiscard]] std::string text() const;

    // The marker of a volume, or none when it is missing, unreadable or does not decode.
    [[nodiscard]] static std::optional<ItemMarker> read(const std::filesystem::path& volumeRoot);
    // The marker a file's text holds, or none.
    [[nodiscard]] static std::optional<ItemMarker> decode(std::string_view text);

    // Whether `name` may be used as a single path component: not empty, not "." or "..", and
    // without "/" or NUL.
    [[nodiscard]] static bool isSafeName(std::string_view name);
};

}  // namespace tessela
