#include "records/json_codec.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <limits>

#include "files/folder.h"
#include "posix/system_error.h"
#include "records/base64.h"
#include "text/utf8.h"

namespace tessela {

namespace {

std::int64_t integerValue(const nlohmann::json& value, const char* key) {
    if (value.is_number_integer() && !value.is_number_unsigned()) {
        return value.get<std::int64_t>();
    }
    if (value.is_number_unsigned()) {
        const auto unsignedValue = value.get<std::uint64_t>();
        if (unsignedValue <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return static_cast<std::int64_t>(unsignedValue);
        }
    }
    if (value.is_number_float()) {
        // Whole numbers written with a fraction ("3.0") still decode as integers.
        const double number = value.get<double>();
        if (number >= -9.2e18 && number <= 9.2e18 &&
            static_cast<double>(static_cast<std::int64_t>(number)) == number) {
            return static_cast<std::int64_t>(number);
        }
    }
    throw DecodingError(std::string("expected an integer for ") + key);
}

bool parseDigits(std::string_view text, std::size_t position, std::size_t count, int& value) {
    value = 0;
    for (std::size_t index = position; index < position + count; ++index) {
        const char character = text[index];
        if (character < '0' || character > '9') {
            return false;
        }
        value = value * 10 + (character - '0');
    }
    return true;
}

}  // namespace

std::string JSONCodec::Encoder::encode(const nlohmann::json& value) const {
    // nlohmann::json keeps object keys in a std::map, so they come out sorted.
    return value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string JSONCodec::Encoder::date(Timestamp time) {
    // Seconds as they are: a date read from a damaged file may lie beyond what the system
    // clock's own type can count.
    const auto seconds = static_cast<std::time_t>(time.time_since_epoch().count());
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    // Four digits for every year, so that what is written parses back (strftime's %Y gives "1").
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return text;
}

Timestamp JSONCodec::parseDate(std::string_view text) {
    // yyyy-MM-ddTHH:mm:ss followed by Z or ±hh:mm.
    const auto fail = [&]() -> DecodingError {
        return DecodingError("not an ISO 8601 date: " + std::string(text));
    };
    if (text.size() != 20 && text.size() != 25) {
        throw fail();
    }
    int year, month, day, hour, minute, second;
    if (!parseDigits(text, 0, 4, year) || text[4] != '-' || !parseDigits(text, 5, 2, month) ||
        text[7] != '-' || !parseDigits(text, 8, 2, day) || text[10] != 'T' ||
        !parseDigits(text, 11, 2, hour) || text[13] != ':' || !parseDigits(text, 14, 2, minute) ||
        text[16] != ':' || !parseDigits(text, 17, 2, second)) {
        throw fail();
    }
    int offsetSeconds = 0;
    if (text.size() == 20) {
        if (text[19] != 'Z') {
            throw fail();
        }
    } else {
        int offsetHours, offsetMinutes;
        if ((text[19] != '+' && text[19] != '-') || !parseDigits(text, 20, 2, offsetHours) ||
            text[22] != ':' || !parseDigits(text, 23, 2, offsetMinutes) || offsetHours > 23 ||
            offsetMinutes > 59) {
            throw fail();
        }
        offsetSeconds = (offsetHours * 3600 + offsetMinutes * 60) * (text[19] == '-' ? -1 : 1);
    }
    const std::chrono::year_month_day date{std::chrono::year{year},
                                           std::chrono::month{static_cast<unsigned>(month)},
                                           std::chrono::day{static_cast<unsigned>(day)}};
    if (!date.ok() || hour > 23 || minute > 59 || second > 59) {
        throw fail();
    }
    return std::chrono::sys_days{date} + std::chrono::hours{hour} + std::chrono::minutes{minute} +
           std::chrono::seconds{second} - std::chrono::seconds{offsetSeconds};
}

nlohmann::json JSONCodec::parse(std::string_view text) {
    try {
        return nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& error) {
        throw DecodingError(error.what());
    }
}

void JSONCodec::putBytes(nlohmann::json& object, const std::string& key, const std::string& bytes) {
    std::string text = repairUtf8(bytes);
    if (text != bytes) {
        object[key + std::string(bytesSuffix)] =
            base64::encode(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
    }
    object[key] = std::move(text);
}

std::filesystem::path JSONCodec::setAside(const std::filesystem::path& file) {
    return setAside(file, std::chrono::system_clock::now());
}

std::filesystem::path JSONCodec::setAside(const std::filesystem::path& file,
                                          std::chrono::system_clock::time_point now) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm parts{};
    localtime_r(&seconds, &parts);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &parts);
    const std::string base = file.filename().string() + ".damaged-" + stamp;

    for (int suffix = 1;; ++suffix) {
        const std::filesystem::path candidate =
            file.parent_path() / (suffix == 1 ? base : base + "-" + std::to_string(suffix));
        if (posix::exists(candidate)) {
            continue;
        }
        // Never replace a file that appeared since the check.
        try {
            const Folder folder = Folder::open(file.parent_path());
            folder.renameExclusively(file.filename().string(), folder,
                                     candidate.filename().string());
            return candidate;
        } catch (const std::system_error& error) {
            if (error.code() != std::errc::file_exists) {
                throw;
            }
        }
    }
}

JsonFields::JsonFields(const nlohmann::json& object) : object_(object) {
    if (!object_.is_object()) {
        throw DecodingError("expected an object");
    }
}

const nlohmann::json* JsonFields::present(const char* key) const {
    const auto found = object_.find(key);
    if (found == object_.end() || found->is_null()) {
        return nullptr;
    }
    return &*found;
}

const nlohmann::json& JsonFields::required(const char* key) const {
    const nlohmann::json* value = present(key);
    if (value == nullptr) {
        throw DecodingError(std::string("missing key ") + key);
    }
    return *value;
}

std::string JsonFields::string(const char* key) const {
    const nlohmann::json& value = required(key);
    if (!value.is_string()) {
        throw DecodingError(std::string("expected a string for ") + key);
    }
    return value.get<std::string>();
}

std::optional<std::string> JsonFields::optionalString(const char* key) const {
    if (present(key) == nullptr) {
        return std::nullopt;
    }
    return string(key);
}

std::vector<std::string> JsonFields::strings(const char* key) const {
    const nlohmann::json& value = required(key);
    if (!value.is_array()) {
        throw DecodingError(std::string("expected an array for ") + key);
    }
    std::vector<std::string> values;
    for (const nlohmann::json& element : value) {
        if (!element.is_string()) {
            throw DecodingError(std::string("expected strings in ") + key);
        }
        values.push_back(element.get<std::string>());
    }
    return values;
}

std::optional<std::vector<std::string>> JsonFields::optionalStrings(const char* key) const {
    if (present(key) == nullptr) {
        return std::nullopt;
    }
    return strings(key);
}

std::int64_t JsonFields::integer(const char* key) const {
    return integerValue(required(key), key);
}

std::optional<std::int64_t> JsonFields::optionalInteger(const char* key) const {
    const nlohmann::json* value = present(key);
    if (value == nullptr) {
        return std::nullopt;
    }
    return integerValue(*value, key);
}

bool JsonFields::boolean(const char* key) const {
    const nlohmann::json& value = required(key);
    if (!value.is_boolean()) {
        throw DecodingError(std::string("expected a boolean for ") + key);
    }
    return value.get<bool>();
}

Timestamp JsonFields::date(const char* key) const {
    return JSONCodec::parseDate(string(key));
}

std::string JsonFields::bytes(const char* key) const {
    std::string text = string(key);
    const std::string exactKey = key + std::string(JSONCodec::bytesSuffix);
    const nlohmann::json* exact = present(exactKey.c_str());
    if (exact == nullptr) {
        return text;
    }
    if (!exact->is_string()) {
        throw DecodingError("expected a string for " + exactKey);
    }
    const std::optional<std::vector<std::uint8_t>> decoded =
        base64::decode(exact->get<std::string>());
    if (!decoded) {
        throw DecodingError(exactKey + " is not Base64");
    }
    return {decoded->begin(), decoded->end()};
}

std::optional<std::string> JsonFields::optionalBytes(const char* key) const {
    if (present(key) == nullptr) {
        return std::nullopt;
    }
    return bytes(key);
}

Uuid JsonFields::uuid(const char* key) const {
    const std::optional<Uuid> parsed = Uuid::parse(string(key));
    if (!parsed) {
        throw DecodingError(std::string("expected a UUID for ") + key);
    }
    return *parsed;
}

}  // namespace tessela
