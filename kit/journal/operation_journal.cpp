#include "journal/operation_journal.h"

#include <algorithm>

namespace tessela {

std::vector<JournalEntry> OperationJournal::load() const {
    return store_.load();
}

JSONCodec::LoadedList<JournalEntry> OperationJournal::loadReportingDamage() const {
    return store_.loadReportingDamage();
}

void OperationJournal::add(const JournalEntry& entry) const {
    std::vector<JournalEntry> entries = load();
    std::erase_if(entries, [&](const JournalEntry& existing) { return existing.id == entry.id; });
    entries.push_back(entry);
    store_.save(entries);
}

void OperationJournal::remove(const Uuid& id) const {
    store_.remove(id);
}

}  // namespace tessela
