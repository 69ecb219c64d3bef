#pragma once

#include <qcoro/qcorotask.h>
#include <QObject>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/locker.h"
#include "model/password_store.h"
#include "model/worker.h"
#include "records/open_item.h"
#include "records/uuid.h"

namespace tessela {

// One locked item as the list shows it. A plain value.
struct ItemRow {
    Uuid id;
    std::string name;
    // The folder holding the item where it was found, else its last known path.
    std::string location;
    std::optional<std::filesystem::path> url;  // none when it cannot be found
    std::optional<std::int64_t> size;          // the space it takes, when found
    std::optional<std::int64_t> originalSize;  // the content's size when it was locked
    bool isOpen = false;
    bool needsPasswordUpdate = false;  // still on an older password generation
    friend bool operator==(const ItemRow&, const ItemRow&) = default;
};

// What the application shows of the locked items: their rows in the file manager's order, the
// open items, and whether a password still has to be set up; and what it publishes of them
// for the file-manager menu (the shared state). Read off the main thread through the worker;
// reading changes nothing on disk. Main thread only; each field has a change signal.
class ItemList : public QObject {
    Q_OBJECT

  public:
    // `publishState` false (a test run's support folder): the shared state is never written.
    ItemList(Locker& locker, const PasswordStore& passwords, Worker& worker, bool publishState,
             QObject* parent = nullptr);

    // Reads the list again and publishes it, and the shared state the file-manager menu reads.
    // A failure leaves the list as it was.
    QCoro::Task<> refresh();

    [[nodiscard]] const std::vector<ItemRow>& rows() const noexcept { return rows_; }
    [[nodiscard]] const std::vector<OpenItem>& openItems() const noexcept { return openItems_; }
    [[nodiscard]] bool needsSetup() const noexcept { return needsSetup_; }
    // Set when a request found no password kept at all; the next refresh reads it again.
    void setNeedsSetup(bool needed);
    // The row's name for the item at `url`, else the file name without its extension.
    [[nodiscard]] std::string displayName(const std::filesystem::path& url) const;

  Q_SIGNALS:
    void rowsChanged();
    void openItemsChanged();
    void needsSetupChanged();

  private:
    Locker& locker_;
    const PasswordStore& passwords_;
    Worker& worker_;
    bool publishState_;
    std::vector<ItemRow> rows_;
    std::vector<OpenItem> openItems_;
    bool needsSetup_ = false;
};

}  // namespace tessela
