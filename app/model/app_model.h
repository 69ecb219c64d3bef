#pragma once

#include <qcoro/qcorotask.h>
#include <QObject>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "activity/activity.h"
#include "commands/tessela_command.h"
#include "engine/locker.h"
#include "model/password_store.h"
#include "model/settings.h"
#include "model/worker.h"
#include "records/open_item.h"
#include "records/support_lock.h"
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

// The application's single controller, on the main thread. It owns the engine, which it uses
// only through its worker (one engine call at a time, in order, never on the main thread), and
// publishes what the interface shows; every field the interface shows has a change signal.
//
// Start-up takes the support folder's lock (a second copy of the application stops there),
// finishes interrupted work, repairs the locked items' names and looks, refreshes the list and
// resumes an unfinished password change; commands that arrived before then run afterwards, in
// arrival order.
class AppModel : public QObject {
    Q_OBJECT

  public:
    struct Options {
        std::filesystem::path support;
        std::filesystem::path home;
        std::optional<std::filesystem::path> appBundle;
        DiskImageTool tool;
        LockerOptions lockerOptions;
        std::string keychainService;
        std::filesystem::path settingsFile;
        // Set while the support folder is a test run's (TESSELA_SUPPORT_DIR): the shared state
        // is then not written.
        bool testOverride = false;

        // The application's own: AppPaths' support folder and keychain service, the user's home
        // and settings, this program.
        [[nodiscard]] static Options standard();
    };

    explicit AppModel(Options options, QObject* parent = nullptr);
    ~AppModel() override;
    AppModel(const AppModel&) = delete;
    AppModel& operator=(const AppModel&) = delete;

    // Takes the support folder's lock, held for the life of the model. False when another copy
    // of Tessela holds it; throws std::system_error when the folder cannot be used at all.
    bool takeSupportLock();
    // The rest of start-up, once the lock is held (takes it first when not; false when another
    // copy holds it).
    QCoro::Task<bool> start();
    // Runs a command now, or after start-up when it is not finished; while quitting, beeps and
    // drops it.
    void handle(const TesselaCommand& command);
    // Reads the list again (off the main thread) and publishes it, and the shared state the
    // file-manager menu reads. A failure leaves the list as it was.
    QCoro::Task<> refresh();

    // Each resumes its caller once, on the main thread, when its condition holds.
    QCoro::Task<> waitUntilReady();
    QCoro::Task<> waitUntilIdle();
    QCoro::Task<> waitWhilePasswordChanges();

    // Shows the item at `url`: an open item's files (present), otherwise the item selected in
    // the file manager (org.freedesktop.FileManager1 ShowItems), or, when no file manager
    // answers, its folder opened.
    QCoro::Task<> reveal(std::filesystem::path url);
    // Opens an open item's files with the default application: its folder, or its one file.
    void present(const OpenItem& item) const;

    // Drops the row's item from the list (nothing on disk is touched) and refreshes.
    QCoro::Task<> forget(const ItemRow& row);
    // The row's name for the item at `url`, else the file name without its extension.
    [[nodiscard]] std::string displayName(const std::filesystem::path& url) const;

    [[nodiscard]] const std::vector<ItemRow>& rows() const noexcept { return rows_; }
    [[nodiscard]] const std::vector<OpenItem>& openItems() const noexcept { return openItems_; }
    [[nodiscard]] bool isReady() const noexcept { return ready_; }
    [[nodiscard]] bool needsSetup() const noexcept { return needsSetup_; }
    [[nodiscard]] int idleMinutes() const noexcept { return idleMinutes_; }
    void setIdleMinutes(int minutes);
    [[nodiscard]] bool touchIDEnabled() const noexcept { return touchIDEnabled_; }
    void setTouchIDEnabled(bool enabled);
    [[nodiscard]] Activity& activity() noexcept { return activity_; }
    [[nodiscard]] Worker& worker() noexcept { return worker_; }
    [[nodiscard]] Locker& locker() noexcept { return locker_; }
    [[nodiscard]] const PasswordStore& passwords() const noexcept { return passwords_; }

  Q_SIGNALS:
    void rowsChanged();
    void openItemsChanged();
    void readyChanged();
    void idle();
    void passwordChangeEnded();
    void needsSetupChanged();
    void idleMinutesChanged();
    void touchIDEnabledChanged();
    // A command for the operations that open, lock and remove locks, handed on in order once
    // the model is ready (they wait for the password, the worker and the progress panel).
    void operationRequested(const tessela::TesselaCommand& command);

  private:
    // Runs `work` on the worker as one registered activity named `label`.
    template <typename Work>
    auto tracked(std::string label, Work work) -> QCoro::Task<std::invoke_result_t<Work>>;

    Options options_;
    Locker locker_;
    PasswordStore passwords_;
    Settings settings_;
    // Released only after the worker has finished every engine call (members go in reverse).
    std::optional<SupportLock> supportLock_;
    Worker worker_;
    Activity activity_;
    bool ready_ = false;
    bool changingPassword_ = false;
    std::vector<TesselaCommand> pending_;
    std::vector<ItemRow> rows_;
    std::vector<OpenItem> openItems_;
    bool needsSetup_ = false;
    int idleMinutes_ = 15;
    bool touchIDEnabled_ = true;
};

}  // namespace tessela
