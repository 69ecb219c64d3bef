#include "journal/operation_journal.h"

#include <algorithm>

namespace tessela {

std::vector<JournalEntry> OperationJournal::load() const {
    return loadReportingDamage().items;
}

JSONCodec::LoadedList<JournalEntry> OperationJournal::loadReportingDamage() const {
    return JSONCodec::loadList<JournalEntry>(fileURL_, &JournalEntry::fromJson);
}

void OperationJournal::add(const JournalEntry& entry) const {
    std::vector<JournalEntry> entries = load();
    std::erase_if(entries, [&](const JournalEntry& existing) { return existing.id == entry.id; });
    entries.push_back(entry);
    save(entries);
}

void OperationJournal::remove(const Uuid& id) const {
    std::vector<JournalEntry> entries = load();
    std::erase_if(entries, [&](const JournalEntry& existing) { return existing.id == id; });
    save(entries);
}

void OperationJournal::save(const std::vector<JournalEntry>& entries) const {
    nlohmann::json array = nlohmann::json::array();
    for (const JournalEntry& entry : entries) {
        array.push_back(entry.toJson());
    }
    JSONCodec::writePrivately(JSONCodec::encoder().encode(array), fileURL_);
}

}  // namespace tessela
