#include "model/settings.h"

#include <nlohmann/json.hpp>

#include "files/file_io.h"
#include "files/file_system.h"
#include "model/app_paths.h"
#include "text/log.h"

namespace tessela {

namespace {

// The file's object; empty when it is missing, unreadable or not a JSON object.
nlohmann::json load(const std::filesystem::path& file) {
    std::optional<std::string> text;
    try {
        text = posix::readFileIfExists(file);
    } catch (const std::exception&) {
        // unreadable: the defaults
        logCaught(LogLevel::warning, {"Could not read the settings, so the defaults hold"},
                  LogArea::app);
    }
    if (!text) {
        return nlohmann::json::object();
    }
    nlohmann::json object = nlohmann::json::parse(*text, nullptr, false);
    return object.is_object() ? object : nlohmann::json::object();
}

void store(const std::filesystem::path& file, const std::string& key, nlohmann::json value) {
    nlohmann::json object = load(file);
    object[key] = std::move(value);
    FileSystem::real().writePrivately(file, object.dump(2) + "\n");
}

}  // namespace

Settings::Settings() : file_(AppPaths::configHome() / "tessela" / "settings.json") {}

std::optional<std::int64_t> Settings::integer(const std::string& key) const {
    const nlohmann::json object = load(file_);
    const auto found = object.find(key);
    if (found == object.end() || !found->is_number_integer()) {
        return std::nullopt;
    }
    return found->get<std::int64_t>();
}

std::optional<bool> Settings::boolean(const std::string& key) const {
    const nlohmann::json object = load(file_);
    const auto found = object.find(key);
    if (found == object.end() || !found->is_boolean()) {
        return std::nullopt;
    }
    return found->get<bool>();
}

void Settings::setInteger(const std::string& key, std::int64_t value) const {
    store(file_, key, value);
}

void Settings::setBoolean(const std::string& key, bool value) const {
    store(file_, key, value);
}

std::int64_t Settings::idleMinutes() const {
    return integer(idleMinutesKey).value_or(defaultIdleMinutes);
}

bool Settings::touchIDEnabled() const {
    return boolean(touchIDKey).value_or(true);
}

}  // namespace tessela
