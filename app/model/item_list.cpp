#include "model/item_list.h"

#include <algorithm>
#include <map>

#include "files/item_facts.h"
#include "files/paths.h"
#include "records/item_index.h"
#include "secrets/shared_state.h"
#include "text/file_name_order.h"
#include "text/log.h"

namespace tessela {

namespace {

namespace fs = std::filesystem;

// What a refresh reads off the main thread.
struct Snapshot {
    std::vector<LockedItem> items;
    std::map<Uuid, fs::path> located;
    std::map<Uuid, std::int64_t> sizes;
    std::vector<OpenItem> openItems;
    std::int64_t currentGeneration = 1;  // the stored secret's, or 1 without one
    bool passwordKept = false;           // kept, even when it could not be read now
};

}  // namespace

ItemList::ItemList(Locker& locker, const PasswordStore& passwords, Worker& worker,
                   bool publishState, QObject* parent)
    : QObject(parent),
      locker_(locker),
      passwords_(passwords),
      worker_(worker),
      publishState_(publishState) {}

void ItemList::setNeedsSetup(bool needed) {
    if (needsSetup_ != needed) {
        needsSetup_ = needed;
        Q_EMIT needsSetupChanged();
    }
}

QCoro::Task<> ItemList::refresh() {
    const std::optional<Snapshot> snapshot =
        co_await worker_.run([this]() -> std::optional<Snapshot> {
            Snapshot taken;
            try {
                taken.items = locker_.lockedItems();
                for (const LockedItem& item : taken.items) {
                    if (const std::optional<fs::path> url = ItemIndex::locate(item)) {
                        taken.located.emplace(item.id, *url);
                        taken.sizes.emplace(item.id, ItemFacts::allocatedSize(*url));
                    }
                }
                taken.openItems = locker_.openItems();
            } catch (const std::exception&) {
                logCaught(LogLevel::warning,
                          {"Could not read the locked items, so the list "
                           "stays as it was"},
                          LogArea::app);
                return std::nullopt;  // the list stays as it was
            }
            // Only a keyring surely without a password means that the user still has to set
            // one: a locked keyring keeps it.
            if (const std::optional<StoredSecret> stored = passwords_.load()) {
                taken.currentGeneration = stored->generation;
                taken.passwordKept = true;
            } else {
                taken.passwordKept = passwords_.presence() != PasswordStore::Presence::absent;
            }
            return taken;
        });
    if (!snapshot) {
        co_return;
    }
    openItems_ = snapshot->openItems;
    Q_EMIT openItemsChanged();
    if (needsSetup_ == snapshot->passwordKept) {  // at start-up, or set from the command line
        needsSetup_ = !snapshot->passwordKept;
        Q_EMIT needsSetupChanged();
    }

    std::vector<std::string> names;
    for (const LockedItem& item : snapshot->items) {
        names.push_back(item.displayName);
    }
    std::vector<ItemRow> rows;
    for (const std::size_t index : fileManagerOrder(names)) {
        const LockedItem& item = snapshot->items[index];
        ItemRow row{item.id,
                    item.displayName,
                    item.lastKnownPath,
                    std::nullopt,
                    std::nullopt,
                    item.contentSize,
                    false,
                    false};
        if (const auto found = snapshot->located.find(item.id); found != snapshot->located.end()) {
            row.url = found->second;
            row.location = found->second.parent_path().string();
            row.size = snapshot->sizes.at(item.id);
        }
        row.isOpen = std::any_of(openItems_.begin(), openItems_.end(),
                                 [&](const OpenItem& open) { return open.id == item.id; });
        row.needsPasswordUpdate =
            item.passwordGeneration != 0 && item.passwordGeneration < snapshot->currentGeneration;
        rows.push_back(std::move(row));
    }
    rows_ = std::move(rows);
    Q_EMIT rowsChanged();

    // What the file-manager menu reads: the open items, by their locked files' real paths.
    // Written off the main thread, as the disk is.
    if (publishState_) {
        QCoro::Task<> writing = worker_.run([open = openItems_] {
            if (const std::optional<fs::path> url = SharedState::defaultURL()) {
                std::vector<std::string> paths;
                for (const OpenItem& item : open) {
                    paths.push_back(canonicalPath(item.lockedURL).string());
                }
                // Named as its writer: a menu then stops trusting it once the application has
                // ended without writing it again.
                try {
                    SharedState::now(std::move(paths), SharedState::currentProcess()).write(*url);
                } catch (const std::exception&) {
                    // The menu then offers the fuller set of entries; nothing else needs it.
                    logCaught(LogLevel::warning,
                              {"Could not tell the file managers which items are open"},
                              LogArea::app);
                }
            }
        });
        co_await std::move(writing);
    }
}

std::string ItemList::displayName(const fs::path& url) const {
    const fs::path wanted = canonicalPath(url);
    for (const ItemRow& row : rows_) {
        if (row.url && canonicalPath(*row.url) == wanted) {
            return row.name;
        }
    }
    return url.stem().string();
}

}  // namespace tessela
