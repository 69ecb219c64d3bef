#include "secrets/shared_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "files/file_io.h"
#include "files/file_system.h"
#include "files/paths.h"
#include "posix/unique_fd.h"
#include "records/base64.h"
#include "records/json_codec.h"
#include "text/log.h"
#include "text/utf8.h"

namespace tessela {

namespace {

constexpr const char* pathsKey = "unlockedPaths";
constexpr const char* exactPathsKey = "unlockedPathsBytes";
constexpr const char* bootTimeKey = "bootTime";
constexpr const char* bootIdKey = "bootId";
constexpr const char* writerPidKey = "writerPid";
constexpr const char* writerStartKey = "writerStartTime";

// The start time of process `pid` in clock ticks after boot: the 22nd field of
// /proc/PID/stat, counted after the command name's closing parenthesis (a name may hold blanks
// and parentheses itself). None when there is no such process here.
std::optional<std::int64_t> startTimeOf(std::int64_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (pid <= 0 || !std::getline(file, line)) {
        return std::nullopt;
    }
    const std::size_t nameEnd = line.rfind(')');
    if (nameEnd == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(line.substr(nameEnd + 1));
    std::string field;
    // After the name come the state (field 3) … the start time (field 22): 20 fields.
    for (int index = 3; index <= 22 && fields >> field; ++index) {
        if (index == 22) {
            try {
                return std::stoll(field);
            } catch (const std::exception&) {
                return std::nullopt;
            }
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::filesystem::path> SharedState::defaultURL() {
    const std::optional<std::filesystem::path> folder = runtimeFolder();
    return folder ? std::optional(*folder / fileName) : std::nullopt;
}

std::optional<SharedState> SharedState::read(const std::optional<std::filesystem::path>& url) {
    if (!url) {
        return std::nullopt;
    }
    struct stat folder {};
    if (::lstat(url->parent_path().c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode) ||
        folder.st_uid != ::geteuid() || (folder.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return std::nullopt;
    }
    const UniqueFd file(::open(url->c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!file || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_uid != ::geteuid() || static_cast<std::size_t>(status.st_size) > maxBytes) {
        return std::nullopt;
    }
    try {
        return fromJson(JSONCodec::parse(posix::readAll(file.get(), maxBytes, *url)));
    } catch (...) {
        logCaught(LogLevel::info, {"Could not read the shared state in ", *url});
        return std::nullopt;
    }
}

void SharedState::write(const std::filesystem::path& url) const {
    FileSystem::real().writePrivately(url, toJson().dump());
}

std::int64_t SharedState::currentBootTime() {
    std::ifstream stat("/proc/stat");
    for (std::string line; std::getline(stat, line);) {
        if (line.starts_with("btime ")) {
            try {
                return std::stoll(line.substr(6));
            } catch (const std::exception&) {
                logCaught(LogLevel::info, {"Could not read the boot time in /proc/stat"});
                return 0;
            }
        }
    }
    return 0;
}

std::string SharedState::currentBootId() {
    std::ifstream file("/proc/sys/kernel/random/boot_id");
    std::string id;
    std::getline(file, id);
    return file ? id : std::string();
}

SharedState SharedState::now(std::vector<std::string> unlockedPaths, std::optional<Writer> writer) {
    SharedState state{std::move(unlockedPaths), currentBootTime()};
    state.bootId = currentBootId();
    state.writer = writer;
    return state;
}

std::optional<SharedState::Writer> SharedState::currentProcess() {
    const std::int64_t pid = ::getpid();
    const std::optional<std::int64_t> started = startTimeOf(pid);
    return started ? std::optional(Writer{pid, *started}) : std::nullopt;
}

bool SharedState::writerIsGone() const {
    return writer && startTimeOf(writer->pid) != writer->startTime;
}

std::optional<std::set<std::string>> SharedState::unlockedSet(
    std::int64_t currentBootTime, std::string_view currentBootId) const {
    // The boot time is derived from the wall clock (now minus the uptime), so on a virtual
    // machine whose clock is stepped it drifts by seconds within one boot; the id does not.
    const bool sameBoot = !bootId.empty() && !currentBootId.empty() ? bootId == currentBootId
                                                                    : bootTime == currentBootTime;
    if (!sameBoot) {
        return std::nullopt;
    }
    return std::set<std::string>(unlockedPaths.begin(), unlockedPaths.end());
}

nlohmann::json SharedState::toJson() const {
    nlohmann::json shown = nlohmann::json::array();
    bool allText = true;
    for (const std::string& path : unlockedPaths) {
        std::string text = repairUtf8(path);
        allText = allText && text == path;
        shown.push_back(std::move(text));
    }
    nlohmann::json object = {{pathsKey, std::move(shown)}, {bootTimeKey, bootTime}};
    if (!bootId.empty()) {
        object[bootIdKey] = bootId;
    }
    if (writer) {
        object[writerPidKey] = writer->pid;
        object[writerStartKey] = writer->startTime;
    }
    if (!allText) {
        nlohmann::json exact = nlohmann::json::array();
        for (const std::string& path : unlockedPaths) {
            exact.push_back(base64::encode(std::vector<std::uint8_t>(path.begin(), path.end())));
        }
        object[exactPathsKey] = std::move(exact);
    }
    return object;
}

SharedState SharedState::fromJson(const nlohmann::json& object) {
    const JsonFields fields(object);
    SharedState state;
    state.bootTime = fields.integer(bootTimeKey);
    state.bootId = fields.optionalString(bootIdKey).value_or("");
    const std::optional<std::int64_t> pid = fields.optionalInteger(writerPidKey);
    const std::optional<std::int64_t> started = fields.optionalInteger(writerStartKey);
    if (pid && started) {
        state.writer = Writer{*pid, *started};
    }
    state.unlockedPaths = fields.strings(pathsKey);
    if (const std::optional<std::vector<std::string>> encoded =
            fields.optionalStrings(exactPathsKey)) {
        std::vector<std::string> exact;
        for (const std::string& text : *encoded) {
            const std::optional<std::vector<std::uint8_t>> bytes = base64::decode(text);
            if (!bytes) {
                throw DecodingError(std::string(exactPathsKey) + " is not Base64");
            }
            exact.emplace_back(bytes->begin(), bytes->end());
        }
        if (exact.size() != state.unlockedPaths.size()) {
            throw DecodingError(std::string(exactPathsKey) + " does not match " + pathsKey);
        }
        state.unlockedPaths = std::move(exact);
    }
    return state;
}

}  // namespace tessela
