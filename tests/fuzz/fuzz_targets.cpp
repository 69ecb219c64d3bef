#include "fuzz/fuzz_targets.h"

#include <cstdlib>

#include "checks/open_files.h"
#include "commands/tessela_command.h"
#include "files/mount_table.h"
#include "journal/journal_entry.h"
#include "process/disk_image_tool.h"
#include "records/item_marker.h"
#include "records/json_codec.h"
#include "records/locked_item.h"
#include "secrets/shared_state.h"
#include "secrets/stored_secret.h"

namespace tessela::fuzz {

namespace {

void require(bool holds) {
    if (!holds) {
        std::abort();
    }
}

// A command parses back from its own URL, exactly.
void commandUrl(std::string_view input) {
    const std::optional<TesselaCommand> command = TesselaCommand::parse(input);
    if (command) {
        require(TesselaCommand::parse(command->url()) == command);
        (void)command->confirmationQuestion();
    }
}

// A decoded secret encodes and decodes to itself; a rejection is a DecodingError, never
// another exception.
void storedSecret(std::string_view input) {
    try {
        const StoredSecret secret = StoredSecret::fromCompactJson(input);
        require(StoredSecret::fromCompactJson(secret.compactJson()) == secret);
    } catch (const DecodingError&) {
    }
}

void sharedState(std::string_view input) {
    try {
        const SharedState state = SharedState::fromJson(JSONCodec::parse(input));
        require(SharedState::fromJson(state.toJson()) == state);
    } catch (const DecodingError&) {
    }
}

// A list file: an array of records, each decoded as the index and the journal decode theirs.
template <class Record>
void recordList(std::string_view input) {
    try {
        const nlohmann::json list = JSONCodec::parse(input);
        if (!list.is_array()) {
            return;
        }
        for (const nlohmann::json& element : list) {
            try {
                const Record record = Record::fromJson(element);
                require(Record::fromJson(record.toJson()) == record);
            } catch (const DecodingError&) {
            }
        }
    } catch (const DecodingError&) {
    }
}

void itemMarker(std::string_view input) {
    (void)ItemMarker::decode(input);
}

void lsof(std::string_view input) {
    (void)OpenFiles::parse(input);
    (void)OpenFiles::classify(0, false, input);
}

void mountinfo(std::string_view input) {
    (void)MountTable::parse(input);
    (void)DiskImageTool::parseMountInfo(input);
}

}  // namespace

const std::vector<Target>& targets() {
    static const std::vector<Target> all = {
        {"command_url", &commandUrl},
        {"stored_secret", &storedSecret},
        {"shared_state", &sharedState},
        {"item_index", &recordList<LockedItem>},
        {"journal", &recordList<JournalEntry>},
        {"item_marker", &itemMarker},
        {"lsof", &lsof},
        {"mountinfo", &mountinfo},
    };
    return all;
}

}  // namespace tessela::fuzz
