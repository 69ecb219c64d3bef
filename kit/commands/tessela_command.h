#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessela {

// A request from another program (the file-manager plug-in, a "tessela:" link) for Tessela to
// act on items, and its URL form: tessela://HOST?path=…&path=…, one "path" item per location,
// every byte outside `valueAllowed` percent-escaped (so "/" is %2F, "&" is %26, and bytes that
// are not UTF-8 travel exactly). A plain value; equal when the case and the locations, in order,
// are equal.
class TesselaCommand {
  public:
    enum class Case { lock, unlock, lockNow, removeLock, reveal };

    static constexpr std::string_view scheme = "tessela";
    // The senders whose lock requests need no confirmation: the application and its
    // file-manager helper; the end-to-end test driver only under the test override.
    static constexpr std::string_view trustedSenders[] = {"com.lanternworks.tessela",
                                                          "com.lanternworks.tessela.finder"};
    static constexpr std::string_view testSender = "com.lanternworks.tessela.e2e";
    // Characters left as they are in a path value: those a URL query allows, but & = + # ? /.
    static constexpr std::string_view valueAllowed =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789!$'()*,-.:;@_~";

    // lock and lockNow take one or more locations; the others exactly one.
    static TesselaCommand lock(std::vector<std::filesystem::path> paths);
    static TesselaCommand lockNow(std::vector<std::filesystem::path> paths);
    static TesselaCommand unlock(std::filesystem::path path);
    static TesselaCommand removeLock(std::filesystem::path path);
    static TesselaCommand reveal(std::filesystem::path path);

    [[nodiscard]] Case kind() const noexcept { return kind_; }
    [[nodiscard]] const std::vector<std::filesystem::path>& paths() const noexcept {
        return paths_;
    }
    // The URL form; never fails.
    [[nodiscard]] std::string url() const;
    // The URL form in pieces that each travel as one socket line (CommandFraming): the URL
    // itself, or, for a lock or lockNow whose URL is too long for one line, several URLs of the
    // same case whose locations, taken in order, are this command's.
    [[nodiscard]] std::vector<std::string> lineURLs() const;
    // The command a URL carries, or none for anything malformed: another scheme or host (both
    // exact, lower case), anything between the host and the query, a fragment, no absolute path
    // item, several for a single-location case, a bad percent escape, a character a URL may not
    // hold, a path not written plainly ("." or ".." or empty components, a trailing slash), or
    // one that decodes to a NUL byte (a system call would cut the path there and act on another
    // item than the one named). Relative path items are left out, as are other query items.
    [[nodiscard]] static std::optional<TesselaCommand> parse(std::string_view url);

    // unlock, removeLock and reveal never ask; a lock request asks unless its sender is trusted.
    [[nodiscard]] bool needsConfirmation(const std::optional<std::string>& sender,
                                         bool testOverride) const;
    // "Another app asked Tessela to lock A and B. Lock them?" (".tessvault" dropped).
    [[nodiscard]] std::string confirmationQuestion() const;

    friend bool operator==(const TesselaCommand&, const TesselaCommand&) = default;

  private:
    TesselaCommand(Case kind, std::vector<std::filesystem::path> paths)
        : kind_(kind), paths_(std::move(paths)) {}

    Case kind_;
    std::vector<std::filesystem::path> paths_;
};

// The host of each case, in case order: "lock", "unlock", "lock-now", "remove-lock", "reveal".
[[nodiscard]] std::string_view hostOf(TesselaCommand::Case kind);

}  // namespace tessela
