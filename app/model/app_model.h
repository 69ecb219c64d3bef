#pragma once

#include <qcoro/qcorotask.h>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "activity/activity.h"
#include "activity/lock_step.h"
#include "commands/command_socket.h"
#include "commands/tessela_command.h"
#include "engine/locker.h"
#include "model/auto_lock.h"
#include "model/fingerprint_check.h"
#include "model/item_job.h"
#include "model/item_list.h"
#include "model/password_store.h"
#include "model/questions.h"
#include "model/settings.h"
#include "model/ticks.h"
#include "model/worker.h"
#include "records/open_item.h"
#include "records/support_lock.h"
#include "records/uuid.h"

namespace tessela {

// The application's single controller, on the main thread. It owns the engine, which it uses
// only through its worker (one engine call at a time, in order, never on the main thread), and
// publishes what the interface shows; every field the interface shows has a change signal.
//
// Start-up takes the support folder's lock (a second copy of the application stops there),
// finishes interrupted work, repairs the locked items' names and looks, refreshes the list and
// resumes an unfinished password change; commands that arrived before then run afterwards, in
// arrival order.
//
// The operations that change items (lock, unlock, lock again, remove a lock) wait for start-up,
// register themselves as activities, run their engine calls on the worker, show the progress
// panel during long work and report the outcome with alerts; a cancelled operation shows
// nothing. Two may be in flight at once, but their engine calls run one after the other.
class AppModel : public QObject {
    Q_OBJECT

  public:
    // How a command ended, for a sender waiting to hear it (the command line handing its work
    // over): done, cancelled by the user, refused or failed with the sentence, or locked with
    // the original still there.
    using Outcome = CommandSocket::Outcome;
    using OutcomeCallback = std::function<void(const Outcome&)>;

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
        // The bus fprintd is asked on; the system bus when none.
        std::optional<std::string> fingerprintBus;
        // The bus logind is heard on (the computer shutting down); the system bus when none.
        std::optional<std::string> logindBus = std::nullopt;
        // Where the auto-lock hears the user walk away (logind's bus is `logindBus`), and the
        // timers its checks run on (Qt's when none).
        AutoLock::Buses autoLockBuses = AutoLock::Buses::standard();
        Ticks* ticks = nullptr;

        // The application's own: AppPaths' support folder and keychain service, the user's home
        // and settings, this program.
        [[nodiscard]] static Options standard();
    };

    // `questions` answers what the model asks the user; it outlives the model.
    AppModel(Options options, Questions& questions, QObject* parent = nullptr);
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
    // drops it. The same command asked for again while it waits or runs is dropped.
    // `onOutcome` hears how it ended, also when it is dropped or refused.
    void handle(const TesselaCommand& command, OutcomeCallback onOutcome = {});
    // Reads the item list again (ItemList::refresh).
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
    // Selects `url` in a file manager window, or opens its folder when no file manager answers.
    QCoro::Task<> showInFileManager(std::filesystem::path url);
    // Starts `task` on its own; whatever it throws that it did not report is said in an alert,
    // never dropped.
    void launch(QCoro::Task<> task);

    // Asks which files and folders to lock, then locks them (started on its own, or awaited).
    void chooseAndLock();
    QCoro::Task<> askAndLock();
    // Asks where a missing row's locked item is now and records the chosen one for it.
    void locate(ItemRow row);
    QCoro::Task<> askWhereAndRelocate(ItemRow row);
    // Records `url` as where the row's item is now (its bookmark and last known path), then
    // refreshes. A file that is not a locked item of this user's, or one the list already holds
    // as another item, is refused with an alert.
    QCoro::Task<> relocate(ItemRow row, std::filesystem::path url);
    // Asks "Forget {name}?" and, on "Forget", forgets the row.
    void confirmForget(ItemRow row);
    QCoro::Task<> askToForget(ItemRow row);
    // Drops the row's item from the list (nothing on disk is touched) and refreshes.
    QCoro::Task<> forget(ItemRow row);

    // Locks each file or folder with the kept password, one after the other; a failure on one
    // is reported and the others still go. Waits for start-up and for a password change.
    // `tellWhenLocked` (a request from outside, such as the file manager's menu): an item whose
    // lock ended before the progress panel could be read is reported with a notification.
    QCoro::Task<Outcome> lock(std::vector<std::filesystem::path> urls, bool tellWhenLocked = false);
    // How long the progress panel must have been up for the user to have read it.
    static constexpr std::chrono::milliseconds panelReadable{1500};
    // Locks the open items among `urls` again; the others are skipped.
    QCoro::Task<Outcome> lockNow(std::vector<std::filesystem::path> urls);
    // Opens the locked item at `url` and shows its files; an open item is only shown.
    QCoro::Task<Outcome> unlock(std::filesystem::path url);
    // After confirmation and the password, turns the locked item back into ordinary files.
    QCoro::Task<Outcome> removeLock(std::filesystem::path url);
    // Locks every item open when called.
    QCoro::Task<> lockAll();
    // Quitting. With nothing running and nothing open: true at once. With work running and
    // `asking`: "Tessela is still … Quit when it finishes?" ("Quit When Finished" / "Cancel";
    // Cancel: false, nothing changed). Then the quiet quit: new work is refused, the running
    // work is waited for, every open item is locked (lockEverythingBeforeQuitting), again while
    // work began meanwhile; true when the application may end, false (and no longer quitting)
    // when the user kept it running.
    QCoro::Task<bool> quit(bool asking);
    // Locks every open item, asking about files in use; with items still open, asks "Some items
    // are still unlocked" ("Quit Anyway" / "Cancel"). True when quitting may go on.
    QCoro::Task<bool> lockEverythingBeforeQuitting();
    // The end that gives no time to ask (a second termination signal, the session ending):
    // every open item is locked, forced when its files are in use, nothing asked. Items that
    // still cannot be locked stay for the next start's recovery.
    QCoro::Task<> lockEverythingNow();
    // Every item open when called, locked without asking (forced where its files are in use);
    // the application goes on running. What cannot be locked is logged and left open.
    QCoro::Task<> lockOpenItemsNow();
    // Locks an open item again; true when it is locked. Files in use: silent unless
    // `interactive`, which asks whether to try again or force it.
    QCoro::Task<bool> relock(OpenItem item, bool interactive);
    // Auto-lock. The monitor, created on first use and started by start().
    [[nodiscard]] AutoLock& autoLock();
    // A moment the user walked away: every open item is locked quietly; what stays open (files
    // in use) is named in one notification and retried every 30 seconds while the user stays
    // away. While retries run they do the work. A moment that comes during a pass makes another
    // pass follow it (for an item opened meanwhile); before sleep that is waited for, and
    // retries give way to one pass at once.
    QCoro::Task<> autoLockTriggered(AutoLock::Trigger trigger);
    // Locks every item open when called, asking nothing; the names of those still open.
    QCoro::Task<std::vector<std::string>> relockAllQuietly();
    // One retry: while the user is away (screen locked, session switched away, or idle past
    // the delay) and items are open, a quiet pass; the retries stop once it locks everything, the user is back or
    // nothing is open.
    QCoro::Task<> retryAutoLock();
    [[nodiscard]] bool isRetryingAutoLock() const noexcept { return retryTimer_ != nullptr; }
    [[nodiscard]] bool isAutoLocking() const noexcept { return autoLockInFlight_; }
    static constexpr std::chrono::seconds autoLockRetryInterval{30};

    // The password change of the settings: none when the password was changed and every item
    // moved to it, else the sentence to show. Refused while anything runs, another change
    // included, or while an item is open; the current password must be right and the new one
    // must pass the rules. The new secret is kept first, then the items move; the previous
    // password is forgotten only once none is left behind.
    QCoro::Task<std::optional<std::string>> changePassword(std::string current,
                                                           std::string newPassword);
    // The first password (setup): kept in the keyring only while it surely holds none, at a
    // generation above every item's; the fingerprint preference recorded as `useFingerprint`
    // (off when no fingerprint can be used). None when the password is kept and setup is over
    // (a password kept meanwhile from a terminal counts too), else the sentence to show.
    QCoro::Task<std::optional<std::string>> setUpPassword(std::string password,
                                                          bool useFingerprint);
    // Whether a fingerprint can be used on this computer now (asked off the main thread).
    QCoro::Task<bool> fingerprintUsable();
    // Moves items still on the previous password to the current one (start-up, and before a
    // change); none when nothing is left to move, else the sentence to show.
    QCoro::Task<std::optional<std::string>> finishPasswordMigrationIfNeeded();

    // The user's password after a fingerprint or up to five typed attempts; none when the
    // user gave up. Without a kept password, whatever the user types.
    QCoro::Task<std::optional<std::string>> verifiedPassword(std::string reason);
    // The progress panel's text for a lock step of the item `name`.
    [[nodiscard]] static QString message(LockStep step, const QString& name);
    // Repairs the locked items' names and looks 3 and 30 seconds from now (a file manager may
    // still be writing its own look over a new lock's), refreshing when anything changed.
    void scheduleLockedLookRecheck();
    [[nodiscard]] ProgressDisplay& progress() noexcept { return progress_; }
    // The locked items as the list shows them.
    [[nodiscard]] ItemList& items() noexcept { return items_; }
    [[nodiscard]] bool isReady() const noexcept { return ready_; }
    [[nodiscard]] int idleMinutes() const noexcept { return idleMinutes_; }
    void setIdleMinutes(int minutes);
    [[nodiscard]] bool touchIDEnabled() const noexcept { return touchIDEnabled_; }
    [[nodiscard]] const Settings& settings() const noexcept { return settings_; }
    void setTouchIDEnabled(bool enabled);
    [[nodiscard]] Activity& activity() noexcept { return activity_; }
    // Every item job that has not ended, oldest first; jobsChanged tells when that changes.
    [[nodiscard]] const std::vector<std::shared_ptr<ItemJob>>& runningJobs() const noexcept {
        return jobs_;
    }
    // Resumes the caller once no item job is running.
    QCoro::Task<> waitForJobs();
    // Resumes the caller once no command is waiting or running, or once `limit` has passed: on
    // the way out, work that is about to end (a file manager asked to show an item) ends first.
    QCoro::Task<> waitForCommands(std::chrono::milliseconds limit);
    [[nodiscard]] Locker& locker() noexcept { return locker_; }

  Q_SIGNALS:
    void readyChanged();
    void jobsChanged();
    void commandEnded();
    void idle();
    void passwordChangeEnded();
    // An automatic lock pass has ended.
    void autoLockPassEnded();
    void idleMinutesChanged();
    void touchIDEnabledChanged();
    // A command has started, in arrival order (commands that came during start-up included).
    void commandStarted(const tessela::TesselaCommand& command);
    // The operation showing the progress panel has ended; the next may show it.
    void progressPanelReleased();
    // The user has to set a password before anything can be locked.
    void setupRequested();

  private:
    // One registered activity for as long as it lives; the model says when it is idle.
    class Tracking {
      public:
        Tracking(AppModel& model, std::string label)
            : model_(model), id_(model.activity_.begin(std::move(label))) {}
        ~Tracking() {
            model_.activity_.end(id_);
            if (model_.activity_.isIdle()) {
                Q_EMIT model_.idle();
            }
        }
        Tracking(const Tracking&) = delete;
        Tracking& operator=(const Tracking&) = delete;

      private:
        AppModel& model_;
        Uuid id_;
    };

    // Runs `work` on the worker as one registered activity named `label`.
    template <typename Work>
    auto tracked(std::string label, Work work) -> QCoro::Task<std::invoke_result_t<Work>> {
        const Tracking tracking(*this, std::move(label));
        auto running = worker_.run(std::move(work));  // named: see reveal
        co_return co_await std::move(running);
    }
    // A password to go on with and the kept secret as it was read for it, once: the passwords
    // tried later are those that let the user through.
    struct Asked {
        std::string password;
        std::optional<StoredSecret> stored;
    };
    // The verified password, unless the user gave up or quitting began meanwhile (a beep).
    QCoro::Task<std::optional<Asked>> passwordToGoOn(std::string reason);
    // verifiedPassword against a secret already read (none: nothing kept could be read).
    QCoro::Task<std::optional<std::string>> verifiedPassword(std::string reason,
                                                             std::optional<StoredSecret> stored);
    // Runs `body` on the worker with each password the item may be locked with (`asked`, then
    // the kept ones it was verified against), then with what the user types until it works;
    // none when the user cancels. An empty password is never tried. Errors other than a wrong
    // password reach the caller. With `holdsPanel` (the caller has the progress panel's turn)
    // the panel steps aside while the user types; otherwise it is left to its owner.
    // Each try is an item job of `kind` on the item `name`.
    template <typename Result>
    QCoro::Task<std::optional<Result>> withItemPassword(
        Asked asked, ItemJob::Kind kind, std::string name,
        std::function<Result(const std::string&, const CancelToken&, const CopyProgressCallback&)>
            body,
        bool holdsPanel);
    // Locks every item open once the work queued before is done, forced or not, asking
    // nothing, and refreshes; the items it tried (a failure is logged).
    QCoro::Task<std::vector<OpenItem>> lockEachOpenItem(bool force);
    // Starts `work` as an item job, kept in the running list until it ends.
    std::shared_ptr<ItemJob> startJob(ItemJob::Kind kind, std::string name, ItemJob::Work work,
                                      std::shared_ptr<CancelToken> cancel = nullptr);
    // The job that locks the open item again (forced: even with files in use) and clears the
    // desktop's previews of it.
    std::shared_ptr<ItemJob> startRelock(const OpenItem& item, bool force);
    // Shows the job's bytes in the progress panel, and its steps as the item `stepsOf`'s (when
    // given); the panel's "Cancel" cancels the job.
    void showInPanel(const std::shared_ptr<ItemJob>& job, const QString& stepsOf);
    // The open item that is the same item as `url`, looked up off the main thread.
    QCoro::Task<std::optional<OpenItem>> openItemFor(std::filesystem::path url);
    // Clears what the desktop keeps about content just locked under `item` (on the worker).
    void scrubPreviews(const std::filesystem::path& item) const;
    // One repair of the locked items' names and looks, and a refresh when anything changed.
    QCoro::Task<> repairLockedItemsNow();
    // Starts `command`'s operation as a task of its own, from the event loop: commands start
    // in the order they came, whatever alert an earlier one puts up.
    void post(const TesselaCommand& command, OutcomeCallback onOutcome);
    void run(const TesselaCommand& command, const OutcomeCallback& onOutcome);
    // Awaits `task`, the operation of `command`, tells `onOutcome` how it ended, then lets go
    // of the command (handling_).
    QCoro::Task<> handled(TesselaCommand command, QCoro::Task<Outcome> task,
                          OutcomeCallback onOutcome);
    static Outcome failed(std::string sentence);
    static Outcome quittingRefusal();
    QCoro::Task<> reported(QCoro::Task<> task);

    // The progress panel shows one operation at a time: a lock or lock removal waits for its
    // turn, which ends (and the panel hides) when the turn goes.
    QCoro::Task<> takeProgressPanel();
    // An alert with the single button "OK".
    QCoro::Task<> alert(QString title, std::string message);
    // The panel's last word after a cancellation.
    [[nodiscard]] static QString cancelledWord();
    class PanelTurn {
      public:
        explicit PanelTurn(AppModel& model) : model_(model) {}
        ~PanelTurn() {
            model_.progress_.hide();
            model_.panelTaken_ = false;
            // The next waiter goes from the event loop, not from inside this one's ending.
            QTimer::singleShot(0, &model_,
                               [model = &model_] { Q_EMIT model->progressPanelReleased(); });
        }
        PanelTurn(const PanelTurn&) = delete;
        PanelTurn& operator=(const PanelTurn&) = delete;

      private:
        AppModel& model_;
    };

    Options options_;
    Questions& questions_;
    ProgressDisplay& progress_;
    Locker locker_;
    PasswordStore passwords_;
    Settings settings_;
    // Released only after the worker has finished every engine call (members go in reverse).
    std::optional<SupportLock> supportLock_;
    // Released after the worker has finished (the work of a job reports to it).
    std::vector<std::shared_ptr<ItemJob>> jobs_;
    Worker worker_;
    // Shared with a verification still running when the model goes (at quit).
    std::shared_ptr<const FingerprintCheck> fingerprint_;
    bool panelTaken_ = false;
    Activity activity_;
    bool ready_ = false;
    bool changingPassword_ = false;
    std::vector<std::pair<TesselaCommand, OutcomeCallback>> pending_;
    // The commands waiting or running: one asked for again meanwhile is dropped.
    std::vector<TesselaCommand> handling_;
    ItemList items_;
    // How often each item was opened or locked by this model: tells an answer about one opening
    // of an item from a later one at the same mount folder.
    std::map<Uuid, std::uint64_t> openings_;
    int idleMinutes_ = 15;
    bool touchIDEnabled_ = true;
    class AutoLockPass;
    std::unique_ptr<AutoLock> autoLock_;
    std::unique_ptr<Ticks::Ticker> retryTimer_;
    bool autoLockInFlight_ = false;
    // A moment to lock came while a pass ran: another pass follows it.
    bool autoLockAgain_ = false;
};

}  // namespace tessela
