#pragma once

#include <qcoro/qcorotask.h>
#include <QObject>

#include <chrono>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "model/app_model.h"
#include "model/command_server.h"
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
    void listen(const std::filesystem::path& socket);
    // Takes URLs to handle, as if `sender` had sent them (none: unidentified).
    void take(std::vector<std::string> urls, std::optional<std::string> sender);
    // The model's start-up; false when the application cannot go on.
    QCoro::Task<bool> start();

    [[nodiscard]] AppModel& model() noexcept { return model_; }

    static constexpr std::chrono::milliseconds repeatWindow{500};

  private:
    // Whether `url` came already within the repeat window; notes it as come now.
    bool isRepeat(const std::string& url);
    // Asks about the waiting confirmations one after the other.
    QCoro::Task<> confirmInTurn();

    WidgetQuestions questions_;
    AppModel model_;
    std::unique_ptr<CommandServer> server_;
    std::deque<TesselaCommand> confirmations_;
    bool confirming_ = false;
    std::map<std::string, std::chrono::steady_clock::time_point> lastTaken_;
};

}  // namespace tessela
