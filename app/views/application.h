#pragma once

#include <qcoro/qcorotask.h>
#include <QObject>

#include <deque>
#include <filesystem>
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
// What it takes is handled in arrival order: a locked item to open becomes an unlock; a command
// goes to the model, a lock asked for by an unidentified sender only once the user confirms
// it; anything else is ignored. A confirmation is awaited, never run in a loop of its own, and
// later requests wait their turn.
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

  private:
    struct Request {
        std::vector<std::string> urls;
        std::optional<std::string> sender;
    };
    QCoro::Task<> takeInTurn();
    QCoro::Task<> handle(std::string url, std::optional<std::string> sender);

    WidgetQuestions questions_;
    AppModel model_;
    std::unique_ptr<CommandServer> server_;
    std::deque<Request> queue_;
    bool taking_ = false;
};

}  // namespace tessela
