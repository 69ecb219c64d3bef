#pragma once

#include <filesystem>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

// The process's log: lines about failures the program works around (a step skipped, a fallback
// taken, a clean-up left for the next start) that no person is shown otherwise. The kit never
// decides where they go: a front end sets one sink for the whole process (the application: Qt's
// logging categories; the command line: standard error, with --verbose; the GNOME Files module:
// GLib's log). With no sink set nothing is written, and a line costs the check of one flag.
//
// Every function here may be called from any thread; none throws.

namespace tessela {

enum class LogLevel { debug, info, warning };

// The part of the program a line comes from; front ends name their categories after it.
enum class LogArea { engine, app, finder };

[[nodiscard]] std::string_view rawValue(LogLevel level) noexcept;  // "debug", "info", "warning"
[[nodiscard]] std::string_view rawValue(LogArea area) noexcept;    // "engine", "app", "finder"

struct LogLine {
    LogLevel level = LogLevel::info;
    LogArea area = LogArea::engine;
    std::string text;  // valid UTF-8 on one line: what was skipped, and why

    bool operator==(const LogLine&) const = default;
};

// Receives the lines while it is set, on the thread that logged each one (the engine's worker,
// the copier's threads, the main thread), one line at a time: calls never overlap. It must not
// log itself.
using LogSink = std::function<void(const LogLine&)>;

// Sets the sink of the whole process, or none when `sink` is empty. Once this returns, the sink it
// replaced is never called again.
void setLogSink(LogSink sink) noexcept;

// A piece of a line: text, or a path by its bytes. The line is repaired to UTF-8 as a whole, so a
// name that is not UTF-8 is shown with U+FFFD where its bad bytes were.
class LogPart {
  public:
    // Implicit, so that a line is written as a list: {"Could not remove ", path}.
    LogPart(const char* text) noexcept : text_(text) {}
    LogPart(std::string_view text) noexcept : text_(text) {}
    LogPart(const std::string& text) noexcept : text_(text) {}
    LogPart(const std::filesystem::path& path) noexcept : text_(path.native()) {}

    [[nodiscard]] std::string_view text() const noexcept { return text_; }

  private:
    std::string_view text_;
};

// Logs the pieces, joined.
void logMessage(LogLevel level, std::initializer_list<LogPart> parts,
                LogArea area = LogArea::engine) noexcept;

// For a catch clause: logs the pieces (what was skipped), then ": " and the text of the exception
// being handled (why): its what(), or "an error of unknown type".
void logCaught(LogLevel level, std::initializer_list<LogPart> parts,
               LogArea area = LogArea::engine) noexcept;

}  // namespace tessela
