#pragma once

#include <algorithm>
#include <filesystem>
#include <vector>

#include "files/file_system.h"
#include "records/json_codec.h"
#include "records/uuid.h"

namespace tessela {

// A list of records kept as one JSON array in one private file: the store behind the item index
// and the operation journal. It holds only the file's location and reads the file afresh on every
// call. Writes go through the file-system seam as private atomic replacements (a crash leaves the
// old or the new list); a file that does not decode is set aside under a dated ".damaged-" name
// and read as empty. `Record` has `id`, `toJson()` and a decoder passed in.
template <typename Record>
class JsonListStore {
  public:
    using Decoder = Record (*)(const nlohmann::json&);

    // `readOnly`: loads leave a damaged file where it is (for a reader that does not hold the
    // records' lock).
    JsonListStore(std::filesystem::path file, Decoder decode, FileSystem& fileSystem,
                  bool readOnly = false)
        : file_(std::move(file)), decode_(decode), fileSystem_(&fileSystem), readOnly_(readOnly) {}

    [[nodiscard]] const std::filesystem::path& file() const noexcept { return file_; }

    [[nodiscard]] JSONCodec::LoadedList<Record> loadReportingDamage() const {
        return JSONCodec::loadList<Record>(file_, decode_, readOnly_);
    }
    [[nodiscard]] std::vector<Record> load() const { return loadReportingDamage().items; }

    void save(const std::vector<Record>& records) const {
        nlohmann::json array = nlohmann::json::array();
        for (const Record& record : records) {
            array.push_back(record.toJson());
        }
        fileSystem_->writePrivately(file_, JSONCodec::encoder().encode(array));
    }

    // Drops every record with `id`; the file is written even when none matched.
    void remove(const Uuid& id) const {
        std::vector<Record> records = load();
        std::erase_if(records, [&](const Record& record) { return record.id == id; });
        save(records);
    }

  private:
    std::filesystem::path file_;
    Decoder decode_;
    FileSystem* fileSystem_;
    bool readOnly_;
};

}  // namespace tessela
