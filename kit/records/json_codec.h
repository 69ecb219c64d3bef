#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "files/file_io.h"
#include "records/uuid.h"
#include "text/log.h"

namespace tessela {

// Times stored by the engine are whole seconds.
using Timestamp = std::chrono::sys_seconds;

// Now, rounded to the nearest whole second.
[[nodiscard]] inline Timestamp nowInWholeSeconds() {
    return std::chrono::round<std::chrono::seconds>(std::chrono::system_clock::now());
}

// A stored file's content does not decode as the expected records: the file is damaged.
class DecodingError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The shared JSON settings and the private, crash-safe file writer used by every state file of
// the support directory. Stateless; every function may be called from any thread.
class JSONCodec {
  public:
    // Encodes values the way every state file is written: keys sorted, pretty-printed with two
    // blanks, dates as ISO 8601 in UTC with a trailing Z. Invalid UTF-8 in strings is replaced
    // rather than failing the write.
    struct Encoder {
        [[nodiscard]] std::string encode(const nlohmann::json& value) const;
        [[nodiscard]] static std::string date(Timestamp time);
    };
    [[nodiscard]] static Encoder encoder() { return {}; }

    // Parses "2026-12-08T14:00:00Z" (or an explicit "+hh:mm" / "-hh:mm" offset); throws
    // DecodingError for anything else.
    [[nodiscard]] static Timestamp parseDate(std::string_view text);

    // Parses JSON text; throws DecodingError on malformed text.
    [[nodiscard]] static nlohmann::json parse(std::string_view text);

    // Stores bytes that are usually text (a path, a file name) without loss. Valid UTF-8 is
    // stored as the string under `key`, exactly as before. Anything else is stored twice: under
    // `key` repaired (U+FFFD for each bad sequence), which is what a person or an earlier
    // reader sees, and exactly, as Base64, under `key` + "Bytes". JsonFields' bytes() reads it
    // back.
    static void putBytes(nlohmann::json& object, const std::string& key, const std::string& bytes);
    static constexpr std::string_view bytesSuffix = "Bytes";

    // Moves a damaged file out of the way, to its name plus ".damaged-" and the local date and
    // time (yyyyMMdd-HHmmss), then "-2", "-3", … while that name is taken. Returns the new
    // location; a failed move is thrown.
    static std::filesystem::path setAside(const std::filesystem::path& file);
    static std::filesystem::path setAside(const std::filesystem::path& file,
                                          std::chrono::system_clock::time_point now);

    template <class Record>
    struct LoadedList {
        std::vector<Record> items;
        bool damaged = false;
    };

    // Reads a file holding a JSON array of records. No file: empty. A read failure is thrown
    // unchanged. Content that does not decode (decodeRecord throws DecodingError) makes the file
    // damaged: it is set aside (unless `readOnly`: a reader that does not own the file leaves it
    // where it is) and the list reads as empty, with `damaged` set.
    template <class Record, class Decode>
    static LoadedList<Record> loadList(const std::filesystem::path& file, Decode decodeRecord,
                                       bool readOnly = false) {
        const std::optional<std::string> content = posix::readFileIfExists(file);
        if (!content) {
            return {};
        }
        LoadedList<Record> loaded;
        try {
            const nlohmann::json array = parse(*content);
            if (!array.is_array()) {
                throw DecodingError("expected an array");
            }
            for (const nlohmann::json& element : array) {
                loaded.items.push_back(decodeRecord(element));
            }
            return loaded;
        } catch (const DecodingError&) {
            if (readOnly) {
                logCaught(LogLevel::warning, {file, " does not decode; it is left as it is"});
                return {{}, true};
            }
            const std::filesystem::path aside = setAside(file);
            logCaught(LogLevel::warning,
                      {file, " does not decode and is set aside as ", aside.filename()});
            return {{}, true};
        }
    }
};

// Strict, typed access to the fields of a decoded JSON object. Every failure (not an object, a
// missing required key, a wrong type) throws DecodingError. A null value counts as absent for an
// optional field.
class JsonFields {
  public:
    explicit JsonFields(const nlohmann::json& object);

    [[nodiscard]] std::string string(const char* key) const;
    [[nodiscard]] std::optional<std::string> optionalString(const char* key) const;
    [[nodiscard]] std::int64_t integer(const char* key) const;
    [[nodiscard]] std::optional<std::int64_t> optionalInteger(const char* key) const;
    [[nodiscard]] bool boolean(const char* key) const;
    [[nodiscard]] Timestamp date(const char* key) const;
    [[nodiscard]] Uuid uuid(const char* key) const;
    // Bytes stored with JSONCodec::putBytes: the exact bytes under key + "Bytes" when present,
    // else the string under `key`. The string is required; malformed Base64 is DecodingError.
    [[nodiscard]] std::string bytes(const char* key) const;
    [[nodiscard]] std::optional<std::string> optionalBytes(const char* key) const;
    // An array of strings; the optional form reads a missing key as none.
    [[nodiscard]] std::vector<std::string> strings(const char* key) const;
    [[nodiscard]] std::optional<std::vector<std::string>> optionalStrings(const char* key) const;

  private:
    [[nodiscard]] const nlohmann::json& required(const char* key) const;
    [[nodiscard]] const nlohmann::json* present(const char* key) const;

    const nlohmann::json& object_;
};

}  // namespace tessela
