#include "commands/tessela_command.h"

#include <algorithm>
#include <array>

#include "commands/command_framing.h"
#include "errors/tessela_error.h"
#include "text/utf8.h"

namespace tessela {

namespace {

constexpr std::array<std::string_view, 5> hosts = {"lock", "unlock", "lock-now", "remove-lock",
                                                   "reveal"};

std::string percentEncoded(std::string_view value) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char character : value) {
        if (TesselaCommand::valueAllowed.find(character) != std::string_view::npos) {
            encoded += character;
        } else {
            const auto byte = static_cast<unsigned char>(character);
            encoded += '%';
            encoded += digits[byte >> 4];
            encoded += digits[byte & 0x0F];
        }
    }
    return encoded;
}

int hexValue(char digit) {
    if (digit >= '0' && digit <= '9') {
        return digit - '0';
    }
    if (digit >= 'A' && digit <= 'F') {
        return digit - 'A' + 10;
    }
    if (digit >= 'a' && digit <= 'f') {
        return digit - 'a' + 10;
    }
    return -1;
}

// The bytes `text` percent-decodes to, or none for a bad escape.
std::optional<std::string> percentDecoded(std::string_view text) {
    std::string decoded;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] != '%') {
            decoded += text[at];
            continue;
        }
        if (at + 2 >= text.size()) {
            return std::nullopt;
        }
        const int high = hexValue(text[at + 1]);
        const int low = hexValue(text[at + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        decoded += static_cast<char>(high * 16 + low);
        at += 2;
    }
    return decoded;
}

// Whether a URL may hold `character` as it stands (RFC 3986: unreserved, reserved and "%").
bool isUrlCharacter(char character) {
    static constexpr std::string_view others = "-._~:/?#[]@!$&'()*+,;=%";
    return (character >= 'A' && character <= 'Z') || (character >= 'a' && character <= 'z') ||
           (character >= '0' && character <= '9') ||
           others.find(character) != std::string_view::npos;
}

}  // namespace

std::string_view hostOf(TesselaCommand::Case kind) {
    return hosts[static_cast<std::size_t>(kind)];
}

TesselaCommand TesselaCommand::lock(std::vector<std::filesystem::path> paths) {
    return {Case::lock, std::move(paths)};
}

TesselaCommand TesselaCommand::lockNow(std::vector<std::filesystem::path> paths) {
    return {Case::lockNow, std::move(paths)};
}

TesselaCommand TesselaCommand::unlock(std::filesystem::path path) {
    return {Case::unlock, {std::move(path)}};
}

TesselaCommand TesselaCommand::removeLock(std::filesystem::path path) {
    return {Case::removeLock, {std::move(path)}};
}

TesselaCommand TesselaCommand::reveal(std::filesystem::path path) {
    return {Case::reveal, {std::move(path)}};
}

std::string TesselaCommand::url() const {
    std::string url = std::string(scheme) + "://" + std::string(hostOf(kind_));
    char separator = '?';
    for (const std::filesystem::path& path : paths_) {
        url += separator;
        url += "path=" + percentEncoded(path.string());
        separator = '&';
    }
    return url;
}

std::vector<std::string> TesselaCommand::lineURLs() const {
    // A line holds the URL and its line feed; every location costs "path=…" and a separator.
    const std::size_t budget = CommandFraming::maxLineBytes - 1;
    const std::string start = std::string(scheme) + "://" + std::string(hostOf(kind_)) + "?";
    std::vector<std::string> urls;
    std::string url = start;
    for (const std::filesystem::path& path : paths_) {
        const std::string item = "path=" + percentEncoded(path.string());
        if (url.size() > start.size() && url.size() + 1 + item.size() > budget) {
            urls.push_back(std::move(url));
            url = start;
        }
        url += (url.size() > start.size() ? "&" : "") + item;
    }
    urls.push_back(std::move(url));
    return urls;
}

std::optional<TesselaCommand> TesselaCommand::parse(std::string_view url) {
    const std::string prefix = std::string(scheme) + "://";
    if (!url.starts_with(prefix) || !std::all_of(url.begin(), url.end(), [](char character) {
            return isUrlCharacter(character);
        })) {
        return std::nullopt;
    }
    std::string_view rest = url.substr(prefix.size());
    if (rest.find('#') != std::string_view::npos) {
        return std::nullopt;  // a fragment would hide the rest of a path from its command
    }
    std::string_view query;
    if (const auto mark = rest.find('?'); mark != std::string_view::npos) {
        query = rest.substr(mark + 1);
        rest = rest.substr(0, mark);
    }
    // Nothing but the host before the query: a path there would name another item than the one
    // the command acts on.
    const std::string_view host = rest;
    const auto found = std::find(hosts.begin(), hosts.end(), host);
    if (found == hosts.end()) {
        return std::nullopt;
    }
    std::vector<std::filesystem::path> paths;
    while (!query.empty()) {
        const auto end = query.find('&');
        const std::string_view item = query.substr(0, end);
        query = end == std::string_view::npos ? std::string_view() : query.substr(end + 1);
        const auto equals = item.find('=');
        if (equals == std::string_view::npos) {
            if (!percentDecoded(item)) {
                return std::nullopt;
            }
            continue;  // a name without a value
        }
        const std::optional<std::string> name = percentDecoded(item.substr(0, equals));
        const std::optional<std::string> value = percentDecoded(item.substr(equals + 1));
        if (!name || !value) {
            return std::nullopt;
        }
        if (value->find('\0') != std::string::npos) {
            return std::nullopt;
        }
        if (*name == "path" && value->starts_with('/')) {
            // Only a path written plainly: no empty, "." or ".." component and no trailing
            // slash, so that the item a person is asked about is the item acted on.
            const std::filesystem::path path(*value);
            if (path.lexically_normal() != path || value->ends_with('/') ||
                value->find("//") != std::string::npos) {
                return std::nullopt;
            }
            paths.push_back(path);
        }
    }
    if (paths.empty()) {
        return std::nullopt;
    }
    const auto kind = static_cast<Case>(found - hosts.begin());
    if ((kind != Case::lock && kind != Case::lockNow) && paths.size() != 1) {
        return std::nullopt;
    }
    return TesselaCommand(kind, std::move(paths));
}

bool TesselaCommand::needsConfirmation(const std::optional<std::string>& sender,
                                       bool testOverride) const {
    if (kind_ != Case::lock && kind_ != Case::lockNow) {
        return false;
    }
    if (!sender) {
        return true;
    }
    if (std::find(std::begin(trustedSenders), std::end(trustedSenders), *sender) !=
        std::end(trustedSenders)) {
        return false;
    }
    return !(testOverride && *sender == testSender);
}

std::string TesselaCommand::confirmationQuestion() const {
    std::vector<std::string> names;
    for (std::filesystem::path path : paths_) {
        // "Folder/" names the folder: its name, never an empty one.
        while (!path.has_filename() && path.has_relative_path()) {
            path = path.parent_path();
        }
        std::string name = path.has_filename() ? path.filename().string() : path.string();
        if (path.extension() == ".tessvault") {
            name = path.stem().string();
        }
        names.push_back(repairUtf8(name));  // shown to a person
    }
    return "Another app asked Tessela to lock " + TesselaError::list(names) + ". Lock " +
           (paths_.size() == 1 ? "it" : "them") + "?";
}

}  // namespace tessela
