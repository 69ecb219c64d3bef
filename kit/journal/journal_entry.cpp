#include "journal/journal_entry.h"

namespace tessela {

std::string_view rawValue(JournalEntry::Kind kind) {
    return kind == JournalEntry::Kind::lock ? "lock" : "restore";
}

std::optional<JournalEntry::Kind> journalKindFromRawValue(std::string_view text) {
    if (text == "lock") {
        return JournalEntry::Kind::lock;
    }
    if (text == "restore") {
        return JournalEntry::Kind::restore;
    }
    return std::nullopt;
}

nlohmann::json JournalEntry::toJson() const {
    nlohmann::json object = {
        {"id", id.string()},          {"kind", rawValue(kind)}, {"originalPath", originalPath},
        {"partialPath", partialPath}, {"finalPath", finalPath},
    };
    if (lockedIdentity) {
        object["lockedIdentity"] = lockedIdentity->toJson();
    }
    if (lockedAt) {
        object["lockedAt"] = JSONCodec::Encoder::date(*lockedAt);
    }
    if (deletingPath) {
        object["deletingPath"] = *deletingPath;
    }
    return object;
}

JournalEntry JournalEntry::fromJson(const nlohmann::json& object) {
    const JsonFields fields(object);
    JournalEntry entry;
    entry.id = fields.uuid("id");
    const std::optional<Kind> kind = journalKindFromRawValue(fields.string("kind"));
    if (!kind) {
        throw DecodingError("unknown kind");
    }
    entry.kind = *kind;
    entry.originalPath = fields.string("originalPath");
    entry.partialPath = fields.string("partialPath");
    entry.finalPath = fields.string("finalPath");
    if (const auto found = object.find("lockedIdentity");
        found != object.end() && !found->is_null()) {
        entry.lockedIdentity = FileIdentity::fromJson(*found);
    }
    if (const std::optional<std::string> text = fields.optionalString("lockedAt")) {
        entry.lockedAt = JSONCodec::parseDate(*text);
    }
    entry.deletingPath = fields.optionalString("deletingPath");
    return entry;
}

}  // namespace tessela
