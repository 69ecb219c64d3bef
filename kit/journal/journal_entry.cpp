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
    nlohmann::json object = {{"id", id.string()}, {"kind", rawValue(kind)}};
    // Paths are bytes; any that are not UTF-8 are kept exactly beside their text, so recovery
    // acts on the very names the operation made.
    JSONCodec::putBytes(object, "originalPath", originalPath);
    JSONCodec::putBytes(object, "partialPath", partialPath);
    JSONCodec::putBytes(object, "finalPath", finalPath);
    if (lockedIdentity) {
        object["lockedIdentity"] = lockedIdentity->toJson();
    }
    if (lockedAt) {
        object["lockedAt"] = JSONCodec::Encoder::date(*lockedAt);
    }
    if (deletingPath) {
        JSONCodec::putBytes(object, "deletingPath", *deletingPath);
    }
    if (restoredIdentity) {
        object["restoredIdentity"] = restoredIdentity->toJson();
    }
    if (originalIdentity) {
        object["originalIdentity"] = originalIdentity->toJson();
    }
    if (originalFingerprint) {
        object["originalFingerprint"] = *originalFingerprint;
    }
    if (originalChangedUntil) {
        object["originalChangedUntil"] = *originalChangedUntil;
    }
    if (deletingVerified) {
        object["deletingVerified"] = true;
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
    entry.originalPath = fields.bytes("originalPath");
    entry.partialPath = fields.bytes("partialPath");
    entry.finalPath = fields.bytes("finalPath");
    if (const auto found = object.find("lockedIdentity");
        found != object.end() && !found->is_null()) {
        entry.lockedIdentity = FileIdentity::fromJson(*found);
    }
    if (const std::optional<std::string> text = fields.optionalString("lockedAt")) {
        entry.lockedAt = JSONCodec::parseDate(*text);
    }
    entry.deletingPath = fields.optionalBytes("deletingPath");
    for (const auto& [key, field] : {std::pair{"restoredIdentity", &entry.restoredIdentity},
                                     std::pair{"originalIdentity", &entry.originalIdentity}}) {
        if (const auto found = object.find(key); found != object.end() && !found->is_null()) {
            *field = FileIdentity::fromJson(*found);
        }
    }
    entry.originalFingerprint = fields.optionalString("originalFingerprint");
    entry.originalChangedUntil = fields.optionalInteger("originalChangedUntil");
    if (const auto found = object.find("deletingVerified");
        found != object.end() && !found->is_null()) {
        entry.deletingVerified = fields.boolean("deletingVerified");
    }
    return entry;
}

}  // namespace tessela
