#pragma once

#include <filesystem>
#include <vector>

#include "files/file_system.h"
#include "journal/journal_entry.h"
#include "records/json_codec.h"
#include "records/json_list_store.h"

namespace tessela {

// The journal of operations in flight ("operations.json" in the support directory).
//
// Holds only its file's location and reads the file afresh on every call. An entry is written
// before an operation's first change, rewritten at each point of no return and removed when the
// operation is done or undone. Writes are private and atomic (a crash leaves the old or the new
// list); a file that does not decode is set aside under a dated ".damaged-" name and read as
// empty. No lock of its own: one engine operation runs at a time.
class OperationJournal {
  public:
    static constexpr const char* fileName = "operations.json";

    // `readOnly`: a damaged file is left where it is (JsonListStore).
    explicit OperationJournal(std::filesystem::path fileURL,
                              FileSystem& fileSystem = FileSystem::real(), bool readOnly = false)
        : store_(std::move(fileURL), &JournalEntry::fromJson, fileSystem, readOnly) {}

    [[nodiscard]] const std::filesystem::path& fileURL() const noexcept { return store_.file(); }

    [[nodiscard]] std::vector<JournalEntry> load() const;
    [[nodiscard]] JSONCodec::LoadedList<JournalEntry> loadReportingDamage() const;
    // Stores `entry` at the end, replacing any entry with the same id.
    void add(const JournalEntry& entry) const;
    // Drops every entry with `id`; writes the file even when nothing matched (or none existed).
    void remove(const Uuid& id) const;

  private:
    JsonListStore<JournalEntry> store_;
};

}  // namespace tessela
