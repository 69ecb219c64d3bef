#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace tessela {

// The user's preferences, kept as a small JSON object in $XDG_CONFIG_HOME/tessela/settings.json
// (~/.config by default). Reading never fails: a missing file, a damaged one or a value of the
// wrong type reads as absent, so each caller falls back to its default. A write replaces the
// file atomically (a crash leaves the old or the new file) and keeps every other key.
class Settings {
  public:
    static constexpr const char* idleMinutesKey = "tessela.idleMinutes";
    static constexpr const char* touchIDKey = "tessela.touchIDEnabled";
    static constexpr std::int64_t defaultIdleMinutes = 15;

    // The settings of this user (the file above).
    Settings();
    // The settings kept in `file`.
    explicit Settings(std::filesystem::path file) : file_(std::move(file)) {}

    [[nodiscard]] std::optional<std::int64_t> integer(const std::string& key) const;
    [[nodiscard]] std::optional<bool> boolean(const std::string& key) const;
    // Throw what the write met (std::system_error).
    void setInteger(const std::string& key, std::int64_t value) const;
    void setBoolean(const std::string& key, bool value) const;

    // Minutes of inactivity before auto-lock (0: never); 15 unless set.
    [[nodiscard]] std::int64_t idleMinutes() const;
    // Whether a fingerprint may stand in for the password; on unless set.
    [[nodiscard]] bool touchIDEnabled() const;

    [[nodiscard]] const std::filesystem::path& file() const noexcept { return file_; }

  private:
    std::filesystem::path file_;
};

}  // namespace tessela
