#pragma once

#include <qcoro/qcorotask.h>
#include <QObject>
#include <QSocketNotifier>

#include <chrono>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "commands/sender_check.h"
#include "model/app_model.h"
#include "model/command_server.h"
#include "model/shutdown_watch.h"
#include "views/widget_questions.h"

namespace tessela {

// The running desktop application: it owns the model, the questions its windows answer and
// the command server other programs reach it through, and takes what arrives there or on the
// command line (links and locked items to open). Main thread only; one per process.
//
// What it takes goes to the model in arrival order: a locked item to open becomes an unlock; a
// command goes as it is, except a lock asked for by an unidentified sender, which waits in a
// queue of its own until the user confirms it (one question at a time, awaited, never in a loop
// of its own), so a question left unanswered holds up no other request; anything else is
// ignored. A burst of the same URL (taken again within `repeatWindow`), or one whose question
// is waiting already, is dropped, as the model drops a command it is still handling: a sender
// repeating itself never opens window after window.
class Application : public QObject {
    Q_OBJECT

  public:
    explicit Application(AppModel::Options options, QObject* parent = nullptr);
    ~Application() override;
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Takes the support folder's lock for the life of the application; false when another copy
    // of Tessela holds it. Throws std::system_error when the folder cannot be used at all.
    bool takeRecords();
    // Listens on the command socket at `socket`, from now on: requests that come during
    // start-up wait in the model until it is ready. Throws when it cannot.
    // `programs`: who counts as Tessela's own helper (and test driver) among the senders.
    void listen(const std::filesystem::path& socket,
                const SenderCheck::Programs& programs = SenderCheck::Programs::installed());
    // Takes URLs to handle, as if `sender` had sent them (none: unidentified).
    void take(std::vector<std::string> urls, std::optional<std::string> sender);
    // Takes the one command a sender waits on (the command line handing its work over) and
    // answers the command server's request `request` with how it ended.
    void takeAwaited(const std::vector<std::string>& urls, const std::optional<std::string>& sender,
                     std::uint64_t request);
    // The model's start-up; false when the application cannot go on.
    QCoro::Task<bool> start();
    // Quits as the Quit of the menu does (asking when work is running) or quietly (a
    // termination signal): true when the application is ending.
    QCoro::Task<bool> quit(bool asking);
    // SIGTERM and SIGINT start the quiet quit from now on (while logind says the session is
    // ending, the end that asks nothing); a second one within `secondSignal` locks every open
    // item without asking (forced where files are in use) and ends.
    void quitOnSignals();
    static constexpr std::chrono::seconds secondSignal{10};
    // How long the end waits at most for commands still under way (one waiting for a person
    // holds it no longer).
    static constexpr std::chrono::seconds commandsOnTheWayOut{5};
    // Follows the desktop session from now on: the session manager's request to save (at
    // logout) locks every open item without asking; a quit the window system or the session
    // asks for (the session manager's "die") ends as a second signal does, locking first, and
    // the event loop ends only through `ended`; should it end any other way, what is still open
    // is locked before it returns.
    void followSession();
    // Locks every open item without asking and returns when that is done or `allowance` has
    // passed. The session manager's request must be answered before its handler returns, so
    // this waits in an event loop of its own: the one place the application does.
    void lockForSessionEnd(std::chrono::milliseconds allowance = sessionAllowance);
    static constexpr std::chrono::seconds sessionAllowance{15};

  Q_SIGNALS:
    // The application has finished: its event loop should end with `code`.
    void ended(int code);
    // A quit has ended: true when the application is ending.
    void quitEnded(bool ending);
    // Tessela was started again with nothing to open: its window should come forward.
    void showRequested();

  public:
    [[nodiscard]] AppModel& model() noexcept { return model_; }

    static constexpr std::chrono::milliseconds repeatWindow{500};

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // Whether `url` came already within the repeat window; notes it as come now.
    bool isRepeat(const std::string& url);
    // Asks about the waiting confirmations one after the other.
    QCoro::Task<> confirmInTurn();
    QCoro::Task<> quitAndAnswer(std::uint64_t request);
    void onTerminationSignal();
    QCoro::Task<> quitOnSignal();
    QCoro::Task<> endNow();
    // Says the application has finished (ended).
    void finish(int code);

    ShutdownWatch shutdown_;
    bool ending_ = false;
    bool ended_ = false;
    WidgetQuestions questions_;
    AppModel model_;
    std::unique_ptr<CommandServer> server_;
    std::deque<TesselaCommand> confirmations_;
    bool confirming_ = false;
    std::map<std::string, std::chrono::steady_clock::time_point> lastTaken_;
    std::optional<std::chrono::steady_clock::time_point> lastSignal_;
    std::unique_ptr<QSocketNotifier> signals_;
    bool quitting_ = false;
};

}  // namespace tessela
