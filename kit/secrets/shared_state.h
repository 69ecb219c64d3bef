#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace tessela {

// The few facts the application shares with the file-manager plug-in, which runs in the file
// manager's process: which locked items are open now. The application writes "state.json" in the
// per-user runtime folder ($XDG_RUNTIME_DIR/tessela, private to the user and gone at logout)
// after every refresh; the plug-in reads it each time it builds its menu. The boot it names tells
// a file left from before a restart, when every volume was detached, from a fresh one. A plain
// value.
struct SharedState {
    // The name the design gives the place both share; here it names nothing on disk.
    static constexpr const char* groupIdentifier = "K4T9QX2MZR.com.lanternworks.tessela";
    static constexpr const char* fileName = "state.json";

    // Canonical paths of the locked files of the items open when it was written. Paths are
    // bytes: one that is not UTF-8 is written repaired under "unlockedPaths" and exactly, as
    // Base64, under "unlockedPathsBytes", which a reader prefers.
    std::vector<std::string> unlockedPaths;
    // The seconds of the machine's boot time when it was written. Kept for readers that know
    // only this; it moves by seconds on some virtual machines, so a boot id, when there is one,
    // decides instead.
    std::int64_t bootTime = 0;
    // The kernel's identifier of the boot it was written in ("bootId"); empty when unknown, as in
    // a state from a writer that did not know it. Written only when known.
    std::string bootId = {};

    // The process that keeps the state up to date while it runs (the application), by its id
    // and its start time, so that a later process given the same id is never taken for it
    // ("writerPid", "writerStartTime"). None for a state that stays true until the next change
    // that writes it again (the command line's, written before it exits).
    struct Writer {
        std::int64_t pid = 0;
        std::int64_t startTime = 0;  // in clock ticks after boot, as /proc/PID/stat gives it
        friend bool operator==(const Writer&, const Writer&) = default;
    };
    std::optional<Writer> writer = std::nullopt;

    friend bool operator==(const SharedState&, const SharedState&) = default;

    // A state of this boot naming `unlockedPaths`, written by `writer`.
    [[nodiscard]] static SharedState now(std::vector<std::string> unlockedPaths,
                                         std::optional<Writer> writer);
    // This process as a writer; none when its start time cannot be read.
    [[nodiscard]] static std::optional<Writer> currentProcess();
    // Whether the state's writer has ended (its process gone, or another in its place, or not
    // visible from here): what it wrote then says nothing about what is open now, since it can
    // no longer follow a change. False for a state that names no writer.
    [[nodiscard]] bool writerIsGone() const;

    // $XDG_RUNTIME_DIR/tessela/state.json; none without an absolute XDG_RUNTIME_DIR.
    [[nodiscard]] static std::optional<std::filesystem::path> defaultURL();
    // The most a state file may hold; a larger file is not one.
    static constexpr std::size_t maxBytes = 4 * 1024 * 1024;

    // The state at `url`, or none: no url, no file, unreadable, undecodable. Never throws. It
    // is read only from this user's own regular file, at most maxBytes, in a folder only this
    // user can write, never through a link and never waiting on a FIFO: the file-manager
    // plug-in reads it inside the file manager, where nobody else may stall it, fill its
    // memory or decide its menu.
    [[nodiscard]] static std::optional<SharedState> read(
        const std::optional<std::filesystem::path>& url);
    // Writes the state as compact JSON, privately (0600 in a folder made 0700) and atomically;
    // failures are thrown.
    void write(const std::filesystem::path& url) const;
    // The "btime" line of /proc/stat; 0 when it cannot be read.
    [[nodiscard]] static std::int64_t currentBootTime();
    // /proc/sys/kernel/random/boot_id, a random identifier the kernel draws at each boot; empty
    // when it cannot be read.
    [[nodiscard]] static std::string currentBootId();
    // The open items' paths, or none when the state was written in another boot: the boot ids
    // decide when both are known, otherwise the boot times, which must be equal.
    [[nodiscard]] std::optional<std::set<std::string>> unlockedSet(
        std::int64_t currentBootTime, std::string_view currentBootId) const;

    [[nodiscard]] nlohmann::json toJson() const;
    // "unlockedPaths" and "bootTime" required, "bootId" optional, other keys ignored; throws
    // DecodingError.
    [[nodiscard]] static SharedState fromJson(const nlohmann::json& object);
};

}  // namespace tessela
