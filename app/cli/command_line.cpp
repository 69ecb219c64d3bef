#include "cli/command_line.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cli/interrupts.h"
#include "cli/password_prompt.h"
#include "commands/command_socket.h"
#include "commands/tessela_command.h"
#include "engine/locker.h"
#include "errors/byte_count.h"
#include "errors/tessela_error.h"
#include "files/paths.h"
#include "model/app_paths.h"
#include "model/lock_step_text.h"
#include "model/password_change.h"
#include "model/password_store.h"
#include "model/self_test.h"
#include "model/system_checks.h"
#include "privacy/thumbnail_scrubber.h"
#include "records/support_lock.h"
#include "secrets/password_rules.h"
#include "secrets/shared_state.h"
#include "text/log.h"
#include "text/utf8.h"

namespace tessela::cli {

namespace {

namespace fs = std::filesystem;

constexpr int success = 0;
constexpr int failure = 1;
constexpr int usageError = 2;
// Locked, but the unlocked original is still there (or partly): the next run of any command
// finishes removing it. Not a failure, and not done either.
constexpr int lockedWithWorkLeft = 3;
constexpr int interrupted = 130;
// Where the desktop application has a Forget button, the command line has a command.
constexpr const char* forgetHint =
    "To forget an item that is gone: tessela forget PATH (the path status shows).\n";

struct Command {
    const char* name;
    const char* synopsis;
    const char* help;
};

const Command commands[] = {
    {"lock", "tessela lock [--password-stdin] PATH…",
     "Locks each file or folder: it becomes PATH's name with \".tessvault\" in the same folder,\n"
     "an encrypted container proven identical to the original before the original is removed.\n"
     "Exit status 3: locked, but the unlocked original could not be removed yet; the next\n"
     "run of any tessela command finishes removing it."},
    {"unlock", "tessela unlock [--password-stdin] PATH.tessvault",
     "Opens a locked item and prints the folder or file to work with."},
    {"relock", "tessela relock [--force] PATH.tessvault…",
     "Locks open items again. While applications keep files open it refuses and names them;\n"
     "--force closes the item anyway (unsaved changes in those applications are lost)."},
    {"remove-lock", "tessela remove-lock [--password-stdin] PATH.tessvault",
     "Turns a locked item back into ordinary files next to it and prints where they are."},
    {"setup", "tessela setup [--password-stdin]",
     "Creates your Tessela password and keeps it in the desktop keyring, where every command\n"
     "then finds it. Refused when one is kept there already."},
    {"change-password", "tessela change-password [--password-stdin]",
     "Changes your Tessela password: asks for the current one and the new one (twice), keeps\n"
     "the new one in the keyring, then moves every locked item to it and names any item that\n"
     "could not be moved yet (it is tried again at every start). With --password-stdin the\n"
     "first line is the current password and the second the new one. Every item must be\n"
     "locked."},
    {"forget", "tessela forget PATH.tessvault",
     "Drops a locked item from Tessela's list, for an item that is gone for good (its disk\n"
     "is lost, it was deleted). Nothing on disk is touched: if the item turns up again, it\n"
     "opens as before with a password the keyring keeps. PATH is where status shows it."},
    {"status", "tessela status",
     "Lists the locked items Tessela knows and which of them are open."},
    {"recover", "tessela recover",
     "Finishes or undoes work that a crash interrupted (every command does this first) and\n"
     "prints what it did."},
    {"quit", "tessela quit",
     "Asks the running desktop application to quit, as its own Quit does: it locks every open\n"
     "item first, and asks on the desktop when work is running or an item stays in use.\n"
     "Exit status 1 when Tessela keeps running (the user chose Cancel)."},
    {"file-manager-menu", "tessela file-manager-menu [on|off]",
     "Turns Tessela's entries in the context menu of GNOME Files, Dolphin and Nemo on or off\n"
     "for you, and shows where they are on. GNOME Files shows them once this installation's\n"
     "module is in its extension folder and it has been restarted (nautilus -q)."},
};

void printUsage(std::ostream& out) {
    out << "usage:\n";
    for (const Command& command : commands) {
        out << "  " << command.synopsis << '\n';
    }
    out << "\nOptions:\n"
           "  --password-stdin  read the password from the first line of standard input\n"
           "  --force           (relock) close the item even while files are in use\n"
           "  --help            show help for a command\n"
           "  --verbose         also print on standard error what Tessela worked around or\n"
           "                    skipped, and why (its log)\n"
           "  --version         show the version\n"
           "\nThe password comes from the desktop keyring when one is kept there (tessela setup);\n"
           "when none of the passwords kept there opens an item, it is asked at the terminal.\n"
           "TESSELA_SUPPORT_DIR replaces the folder where Tessela keeps its records.\n";
}

const Command* findCommand(const std::string& name) {
    for (const Command& command : commands) {
        if (name == command.name) {
            return &command;
        }
    }
    return nullptr;
}

// What one run was asked to do.
struct Request {
    const Command* command = nullptr;
    std::vector<fs::path> paths;
    bool passwordFromStandardInput = false;
    bool force = false;
    bool help = false;
    bool verbose = false;
};

// File names are bytes; on the terminal they are shown as text with no control character.
std::string shown(std::string_view bytes) {
    return terminalSafe(bytes);
}

// The path made absolute and standardised, without a trailing separator.
fs::path absoluteForm(const fs::path& path) {
    std::error_code error;
    const fs::path made = fs::absolute(path, error);
    std::string text = (error ? path : made).lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text;
}

// The progress of one item's lock or lock removal on the terminal (standard error): one line per
// step, and while content is copied, that step's line kept up to date in place with the share
// copied ("Report: encrypting… 45% (450.0 MB of 1.0 GB)").
class ProgressLine {
  public:
    explicit ProgressLine(std::string name) : name_(shown(name)) {}
    ~ProgressLine() {
        if (open_) {
            std::cerr << '\n';
        }
    }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    ProgressCallback steps() {
        return [this](LockStep step) {
            const std::lock_guard guard(lock_);
            if (open_) {
                std::cerr << '\n';
                open_ = false;
            }
            step_ = LockStepText::phrase(step);
            std::cerr << name_ << ": " << step_ << "…\n";
        };
    }

    CopyProgressCallback bytes() {
        return [this](std::int64_t done, std::int64_t total) {
            const std::lock_guard guard(lock_);
            const auto percent = static_cast<int>(
                total > 0 ? static_cast<double>(done) * 100 / static_cast<double>(total) : 100);
            // The share copied on a line of its own below the step's, rewritten in place.
            std::cerr << (open_ ? "\r\033[K" : "") << name_ << ": " << step_ << "… " << percent
                      << "% (" << formatByteCount(done) << " of " << formatByteCount(total) << ")"
                      << std::flush;
            open_ = true;
        };
    }

  private:
    std::mutex lock_;
    std::string name_;
    std::string step_;
    bool open_ = false;  // the cursor stands at the end of a progress line
};

// Runs the commands of one invocation against one engine.
class Session {
  public:
    Session(Locker& locker, const Request& request, CancelToken& cancel, const PasswordStore& store)
        : locker_(locker),
          request_(request),
          cancel_(cancel),
          store_(store),
          prompt_(request.passwordFromStandardInput, cancel),
          showProgress_(::isatty(STDERR_FILENO) == 1) {}

    // What can be told without a password is told before one is asked for: a path that is not
    // there, a location the lock refuses, something that is not a locked item.
    int checkPaths() const {
        const std::string& name = request_.command->name;
        if (name == "forget") {
            return success;  // what is forgotten is usually gone
        }
        for (const fs::path& given : request_.paths) {
            const fs::path path = absoluteForm(given);
            const std::string item = path.filename().string();
            struct stat status {};
            if (::lstat(path.c_str(), &status) != 0) {
                return report(TesselaError::notFound(), item);
            }
            try {
                if (name == "lock") {
                    locker_.checkLockLocation(path);
                } else if ((name == "unlock" || name == "remove-lock") &&
                           (path.extension() != Locker::lockedExtension ||
                            !S_ISDIR(status.st_mode))) {
                    return report(TesselaError::notLocked(), item);
                }
            } catch (const TesselaError& error) {
                return report(error, item);
            } catch (const std::exception& error) {
                std::cerr << shown(item) << ": " << shown(error.what()) << '\n';
                return failure;
            }
        }
        return success;
    }

    int lock() {
        // The keyring's password and generation; a typed one (twice) only without it.
        // A password typed here may be one the keyring never kept: the item is recorded with
        // generation 0, which a password change moves along when the old password opens it and
        // otherwise leaves as it is, never waiting for it.
        std::optional<std::string> password;
        std::int64_t generation = 0;
        if (const std::optional<StoredSecret> stored = storedSecret()) {
            password = stored->password;
            generation = stored->generation;
        } else {
            password = askPassword(true);
            if (!password) {
                return refusedPassword();
            }
            if (const std::optional<std::string> problem = PasswordRules::problem(*password)) {
                std::cerr << *problem << '\n';
                return failure;
            }
        }
        int status = success;
        for (const fs::path& path : request_.paths) {
            const std::string name = absoluteForm(path).filename().string();
            try {
                const std::unique_ptr<ProgressLine> line = progressFor(name);
                const LockedItem record =
                    locker_.lock(absoluteForm(path), *password, generation, &cancel_,
                                 line ? line->steps() : ProgressCallback(),
                                 line ? line->bytes() : CopyProgressCallback());
                std::cout << "Locked " << shown(record.displayName) << ": "
                          << shown(record.lastKnownPath) << '\n';
                scrubThumbnails(absoluteForm(path));
            } catch (const TesselaError& error) {
                if (const auto notice = error.lockedNotice()) {
                    // Locked; only removing the original is left for the next start.
                    std::cerr << notice->title << ". " << notice->message << '\n';
                    scrubThumbnails(absoluteForm(path));
                    if (status == success) {
                        status = lockedWithWorkLeft;
                    }
                    continue;
                }
                status = report(error, name);
                if (error.errorCase() == TesselaError::Case::cancelled) {
                    return status;
                }
            } catch (const std::exception& error) {
                std::cerr << "Could not lock " << shown(name) << ": " << shown(error.what())
                          << '\n';
                status = failure;
            }
        }
        return status;
    }

    int unlock() {
        if (request_.paths.size() != 1) {
            return usage("unlock takes one locked item");
        }
        const fs::path path = absoluteForm(request_.paths.front());
        return usingPassword(path.filename().string(), [&](const std::string& password) {
            const OpenItem open = locker_.unlock(path, password);
            // The result itself, for scripts: the path's exact bytes.
            std::cout << open.contentURL().string() << '\n';
            return success;
        });
    }

    int relock() {
        int status = success;
        for (const fs::path& given : request_.paths) {
            const fs::path path = absoluteForm(given);
            try {
                const std::optional<OpenItem> open = locker_.openItem(path);
                if (!open) {
                    std::cout << shown(path.filename().string()) << " is not open.\n";
                    continue;
                }
                locker_.relock(*open, request_.force);
                std::cout << "Locked " << shown(open->name) << " again.\n";
                scrubThumbnails(path);
            } catch (const TesselaError& error) {
                status = report(error, path.filename().string());
                if (error.errorCase() == TesselaError::Case::inUse) {
                    std::cerr << "To close it anyway, use --force; unsaved changes in those "
                                 "applications are lost.\n";
                }
            } catch (const std::exception& error) {
                std::cerr << "Could not lock " << path.filename().string()
                          << " again: " << error.what() << '\n';
                status = failure;
            }
        }
        return status;
    }

    int removeLock() {
        if (request_.paths.size() != 1) {
            return usage("remove-lock takes one locked item");
        }
        const fs::path path = absoluteForm(request_.paths.front());
        const std::string name = path.filename().string();
        return usingPassword(name, [&](const std::string& password) {
            const std::unique_ptr<ProgressLine> line = progressFor(name);
            const fs::path restored = locker_.removeLock(
                path, password, &cancel_, line ? line->steps() : ProgressCallback(),
                line ? line->bytes() : CopyProgressCallback());
            std::cout << restored.string() << '\n';  // the result itself: exact bytes
            return success;
        });
    }

    int setup() {
        // Only where the keyring surely holds none: an item that cannot be read, or a keyring
        // that cannot be asked, must never be replaced, with the earlier passwords it keeps.
        switch (store_.presence()) {
            case PasswordStore::Presence::present:
                std::cerr << "A Tessela password is kept in your keyring already. To change it, "
                             "use tessela change-password.\n";
                return failure;
            case PasswordStore::Presence::unknown:
                std::cerr << "Could not read your password from your keyring.\n";
                return failure;
            case PasswordStore::Presence::absent:
                break;
        }
        const std::optional<std::string> password = askPassword(true);
        if (!password) {
            return refusedPassword();
        }
        const PasswordChange::Outcome outcome =
            PasswordChange(locker_, store_).setUp(AppPaths::support(), *password);
        if (outcome.message) {
            std::cerr << *outcome.message << '\n';
            return failure;
        }
        std::cout << "Your Tessela password is set up and kept in your keyring.\n";
        return success;
    }

    int changePassword() {
        switch (store_.presence()) {
            case PasswordStore::Presence::absent:
                std::cerr << "No Tessela password is kept in your keyring yet. Create one with "
                             "tessela setup.\n";
                return failure;
            case PasswordStore::Presence::unknown:
                std::cerr << "Could not read your password from your keyring.\n";
                return failure;
            case PasswordStore::Presence::present:
                break;
        }
        std::string problem;
        const std::optional<std::string> current = prompt_.read("Current password", false, problem);
        if (!current) {
            std::cerr << problem << '\n';
            return refusedPassword();
        }
        const std::optional<std::string> next = prompt_.read("New password", true, problem);
        if (!next) {
            std::cerr << problem << '\n';
            return refusedPassword();
        }
        PasswordChange change(locker_, store_);
        const PasswordChange::Outcome outcome = change.change(*current, *next);
        // Nothing moved while something could not be: the new password is kept, but no item
        // opens with it yet, which is not a change done.
        const bool noneMoved = outcome.changed && outcome.moved == 0 && !outcome.failures.empty();
        if (noneMoved) {
            std::cout << "Your new password is kept in your keyring, but no locked item could be "
                         "moved to it yet.\n";
        } else if (outcome.changed) {
            std::cout << "Your password is changed.\n";
        }
        if (outcome.message) {
            std::cerr << *outcome.message << '\n';
            if (outcome.stillMigrating) {
                std::cerr << forgetHint;
            }
        }
        printFailures(outcome.failures);
        return outcome.changed && !noneMoved ? success : failure;
    }

    int forget() {
        if (request_.paths.size() != 1) {
            return usage("forget takes one locked item");
        }
        const fs::path path = absoluteForm(request_.paths.front());
        try {
            if (const std::optional<LockedItem> record = locker_.recordToForget(path)) {
                if (locker_.openItem(path)) {
                    std::cerr << shown(record->displayName)
                              << " is open. Lock it first, with tessela relock.\n";
                    return failure;
                }
                locker_.forget(record->id);
                std::cout << "Forgot " << shown(record->displayName) << ".\n";
                return success;
            }
        } catch (const std::exception& error) {
            std::cerr << "Could not read the list of locked items: " << shown(error.what()) << '\n';
            return failure;
        }
        std::cerr << shown(path.string()) << " is not in Tessela's list.\n";
        return failure;
    }

    int status() {
        try {
            const std::vector<LockedItem> records = locker_.lockedItems();
            std::map<std::string, OpenItem> open;
            for (const OpenItem& item : locker_.openItems()) {
                open.emplace(item.id.string(), item);
            }
            if (records.empty()) {
                std::cout << "No locked items.\n";
            }
            for (const LockedItem& record : records) {
                const std::optional<fs::path> located = ItemIndex::locate(record);
                std::cout << shown(record.displayName) << '\n';
                std::cout << "  " << shown(located ? located->string() : record.lastKnownPath)
                          << '\n';
                if (const auto found = open.find(record.id.string()); found != open.end()) {
                    std::cout << "  open at " << shown(found->second.contentURL().string()) << '\n';
                } else if (!located) {
                    std::cout << "  not found (moved elsewhere, or its disk is not connected)\n";
                } else {
                    std::cout << "  locked\n";
                }
                if (record.stage == LockedItem::Stage::originalPending) {
                    std::cout << "  its unlocked original is still to be removed\n";
                }
            }
            if (const std::optional<StoredSecret> stored = storedSecret();
                stored && stored->previous) {
                std::cout << PasswordRules::stillMigratingMessage(
                                 locker_.itemsStillMigrating(stored->generation))
                          << '\n'
                          << forgetHint;
            }
            return success;
        } catch (const std::exception& error) {
            std::cerr << "Could not read the list of locked items: " << error.what() << '\n';
            return failure;
        }
    }

  private:
    // The stored secret, when this run may use the keyring (not with --password-stdin).
    std::optional<StoredSecret> storedSecret() {
        if (request_.passwordFromStandardInput) {
            return std::nullopt;
        }
        if (!storedLoaded_) {
            stored_ = store_.load();
            storedLoaded_ = true;
        }
        return stored_;
    }

    // Runs `operation` with each password the keyring holds, newest first, while each is
    // refused as wrong; then, when none opened the item, with one typed at the terminal.
    template <typename Operation>
    int usingPassword(const std::string& name, const Operation& operation) {
        const auto attempt = [&](const std::string& password) -> std::optional<int> {
            try {
                return operation(password);
            } catch (const TesselaError& error) {
                if (error.errorCase() == TesselaError::Case::wrongPassword) {
                    return std::nullopt;
                }
                return report(error, name);
            } catch (const std::exception& error) {
                std::cerr << shown(name) << ": " << shown(error.what()) << '\n';
                return failure;
            }
        };
        if (const std::optional<StoredSecret> stored = storedSecret()) {
            for (const std::string& candidate : stored->openCandidates()) {
                if (const std::optional<int> status = attempt(candidate)) {
                    return *status;
                }
            }
        }
        const std::optional<std::string> password = askPassword(false);
        if (!password) {
            return refusedPassword();
        }
        if (const std::optional<int> status = attempt(*password)) {
            return *status;
        }
        return report(TesselaError::wrongPassword(), name);
    }

    // Each item a password change left behind, with the reason.
    void printFailures(const std::map<Uuid, TesselaError>& failures) const {
        if (failures.empty()) {
            return;
        }
        std::map<Uuid, std::string> names;
        try {
            for (const LockedItem& record : locker_.lockedItems()) {
                names.emplace(record.id, record.displayName);
            }
        } catch (const std::exception&) {
            logCaught(LogLevel::info, {"Could not name the items left behind"}, LogArea::app);
            names.clear();
        }
        for (const auto& [id, error] : failures) {
            const auto found = names.find(id);
            std::cerr << "  " << shown(found != names.end() ? found->second : id.string()) << ": "
                      << error.errorDescription() << '\n';
        }
    }

    std::optional<std::string> askPassword(bool confirm) {
        std::string problem;
        std::optional<std::string> password = prompt_.read("Password", confirm, problem);
        if (!password) {
            std::cerr << problem << '\n';
        }
        return password;
    }

    // Without a password there is nothing to do: a cancelled prompt is an interruption.
    int refusedPassword() const { return cancel_.isCancelled() ? interrupted : failure; }

    // The progress display for one item, only on a terminal.
    std::unique_ptr<ProgressLine> progressFor(const std::string& name) const {
        return showProgress_ ? std::make_unique<ProgressLine>(name) : nullptr;
    }

    int report(const TesselaError& error, const std::string& name) const {
        if (request_.paths.size() > 1) {
            std::cerr << shown(name) << ": ";
        }
        std::cerr << error.errorDescription() << '\n';
        return error.errorCase() == TesselaError::Case::cancelled && cancel_.isCancelled()
                   ? interrupted
                   : failure;
    }

    int usage(const std::string& problem) const {
        std::cerr << "tessela: " << problem << "\nusage: " << request_.command->synopsis << '\n';
        return usageError;
    }

    // Previews and recent-files entries of the content just locked must not stay in the
    // desktop's caches: those of the item itself (and of the mounts folder), never of its
    // neighbours.
    void scrubThumbnails(const fs::path& item) const {
        (void)ThumbnailScrubber::reset(locker_.mountsRoot(), {item}, AppPaths::previewPlaces());
    }

    Locker& locker_;
    const Request& request_;
    CancelToken& cancel_;
    const PasswordStore& store_;
    PasswordPrompt prompt_;
    bool showProgress_;
    bool storedLoaded_ = false;
    std::optional<StoredSecret> stored_;
};

std::optional<Request> parse(int argc, char** argv, std::string& problem) {
    Request request;
    std::vector<std::string> words(argv + 1, argv + argc);
    bool optionsEnded = false;
    for (const std::string& word : words) {
        if (!optionsEnded && word == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && (word == "--help" || word == "-h")) {
            request.help = true;
        } else if (!optionsEnded && word == "--password-stdin") {
            request.passwordFromStandardInput = true;
        } else if (!optionsEnded && word == "--force") {
            request.force = true;
        } else if (!optionsEnded && word == "--verbose") {
            request.verbose = true;
        } else if (!optionsEnded && word.starts_with("-") && word != "-") {
            problem = "unknown option " + word;
            return std::nullopt;
        } else if (request.command == nullptr) {
            request.command = findCommand(word);
            if (request.command == nullptr) {
                problem = "unknown command " + word;
                return std::nullopt;
            }
        } else {
            request.paths.emplace_back(word);
        }
    }
    return request;
}

// With --verbose: every line of the log on standard error, after "tessela: " and its level, with
// control characters shown as "?" as in every other line printed here. One write per line.
void logToStandardError() {
    setLogSink([](const LogLine& line) {
        std::cerr << "tessela: " + std::string(rawValue(line.level)) + ": " + shown(line.text) +
                         "\n";
    });
}

// Hands `name` (lock, unlock, relock, remove-lock) to the running application, which holds the
// records, as command URLs over its socket, and waits for each outcome: the work shows on the
// desktop (progress, questions, the password prompt), and the exit status is the one this
// program would give for the same outcome. A lock or relock of several items is one request;
// an unlock or a lock removal is one request per item, in order. None when no application
// listens.
std::optional<int> handOver(const Request& request, const std::string& name,
                            const CancelToken& cancel) {
    const std::optional<fs::path> socket = CommandSocket::defaultPath();
    if (!socket) {
        return std::nullopt;
    }
    std::vector<fs::path> paths;
    std::vector<std::string> names;
    for (const fs::path& path : request.paths) {
        paths.push_back(absoluteForm(path));
        names.push_back(paths.back().filename().string());
    }
    std::vector<std::pair<TesselaCommand, std::string>> handed;  // with what it does, said
    if (name == "lock") {
        handed.emplace_back(TesselaCommand::lock(paths), "locks " + TesselaError::list(names));
    } else if (name == "relock") {
        handed.emplace_back(TesselaCommand::lockNow(paths),
                            "locks " + TesselaError::list(names) + " again");
    } else {
        for (const fs::path& path : paths) {
            const std::string item = path.stem().string();
            handed.emplace_back(
                name == "unlock" ? TesselaCommand::unlock(path) : TesselaCommand::removeLock(path),
                name == "unlock" ? "unlocks " + item : "removes the lock from " + item);
        }
    }
    int status = 0;
    for (const auto& [command, doing] : handed) {
        std::optional<CommandSocket::Outcome> outcome;
        try {
            outcome = CommandSocket::handOver(
                *socket, {command.url()}, std::chrono::seconds(10),
                [&doing] {
                    std::cout << "Tessela is running: it " << shown(doing)
                              << "; its progress shows on the desktop." << std::endl;
                },
                &cancel);
        } catch (const TesselaError& error) {
            if (error.errorCase() != TesselaError::Case::cancelled) {
                std::cerr << shown(error.errorDescription()) << '\n';
                return failure;
            }
            std::cerr << "Interrupted: Tessela goes on with it on the desktop.\n";
            return interrupted;
        } catch (const std::exception& error) {
            std::cerr << "Tessela is running, but did not take the request: " << shown(error.what())
                      << '\n';
            return failure;
        }
        if (!outcome) {
            return std::nullopt;
        }
        switch (outcome->kind) {
            case CommandSocket::Outcome::Kind::done:
                break;
            case CommandSocket::Outcome::Kind::cancelled:
                std::cerr << "Cancelled on the desktop. Nothing was changed.\n";
                status = std::max(status, failure);
                break;
            case CommandSocket::Outcome::Kind::failed:
                std::cerr << shown(outcome->sentence) << '\n';
                status = std::max(status, failure);
                break;
            case CommandSocket::Outcome::Kind::partlyDone:
                std::cerr << shown(outcome->sentence) << '\n';
                status = std::max(status, lockedWithWorkLeft);
                break;
        }
    }
    return status;
}

// Asks the running application to quit and says how that went.
int quitApplication() {
    const std::optional<fs::path> socket = CommandSocket::defaultPath();
    std::optional<CommandSocket::Outcome> outcome;
    try {
        if (socket) {
            outcome = CommandSocket::handOver(*socket, {std::string(CommandSocket::quitRequest)},
                                              std::chrono::seconds(10));
        }
    } catch (const std::exception& error) {
        std::cerr << "Tessela is running, but did not take the request: " << shown(error.what())
                  << '\n';
        return failure;
    }
    if (!outcome) {
        std::cout << "Tessela is not running.\n";
        return success;
    }
    switch (outcome->kind) {
        case CommandSocket::Outcome::Kind::done:
            std::cout << "Tessela has quit.\n";
            return success;
        case CommandSocket::Outcome::Kind::cancelled:
            std::cerr << "Tessela keeps running: quitting was cancelled on the desktop.\n";
            return failure;
        case CommandSocket::Outcome::Kind::failed:
        case CommandSocket::Outcome::Kind::partlyDone:
            std::cerr << shown(outcome->sentence) << '\n';
            return failure;
    }
    return failure;
}

// The file-manager menu's view of what is open, written again as this run leaves it (also when it
// fails). The application that keeps it up to date cannot be running while this run holds the
// records, so a state it left behind would otherwise name what was open when it ended. Written
// with no writer: it stays true until the next change writes it again. Never under the test
// override, whose items are not the user's.
class OpenItemsSnapshot {
  public:
    explicit OpenItemsSnapshot(const Locker& locker) : locker_(locker) {}
    ~OpenItemsSnapshot() {
        const std::optional<fs::path> url = SharedState::defaultURL();
        if (!url || AppPaths::isTestOverride()) {
            return;
        }
        try {
            std::vector<std::string> paths;
            for (const OpenItem& item : locker_.openItems()) {
                paths.push_back(canonicalPath(item.lockedURL).string());
            }
            SharedState::now(std::move(paths), std::nullopt).write(*url);
        } catch (const std::exception&) {
            logCaught(LogLevel::warning, {"Could not tell the file managers which items are open"});
        }
    }
    OpenItemsSnapshot(const OpenItemsSnapshot&) = delete;
    OpenItemsSnapshot& operator=(const OpenItemsSnapshot&) = delete;

  private:
    const Locker& locker_;
};

// Turns the file-manager integration on or off when asked, then shows each file manager's state.
int fileManagerMenu(const std::vector<fs::path>& words) {
    const std::string word = words.empty() ? "" : words.front().string();
    if (words.size() > 1 || (!words.empty() && word != "on" && word != "off")) {
        std::cerr << "tessela: file-manager-menu takes on or off\n"
                     "usage: tessela file-manager-menu [on|off]\n";
        return usageError;
    }
    if (word == "on") {
        SystemChecks::enableFinderExtension();
    } else if (word == "off") {
        SystemChecks::disableFinderExtension();
    }
    int status = success;
    for (const SystemChecks::FinderPart& part : SystemChecks::finderParts()) {
        std::error_code error;
        std::cout << part.fileManager << ": ";
        if (SystemChecks::finderPartEnabled(part)) {
            std::cout << "on\n";
        } else if (!fs::exists(part.target, error)) {
            std::cout << "not installed (" << shown(part.target.string()) << " is missing)\n";
        } else if (!SystemChecks::finderPartIsTessela(part)) {
            std::cout << "off (" << shown(part.link.string())
                      << " is not Tessela's and was left as it is)\n";
            status = word == "on" ? failure : status;
        } else {
            std::cout << "off\n";
            status = word == "on" ? failure : status;
        }
    }
    return status;
}

}  // namespace

int run(int argc, char** argv) {
    // Run instead of everything else, as the desktop's start-up runs it.
    if (argc == 2 && std::string_view(argv[1]) == "--self-test") {
        return SelfTest::run(std::cout);
    }
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
        std::cout << "tessela " << TESSELA_VERSION << '\n';
        return success;
    }
    std::string problem;
    const std::optional<Request> request = parse(argc, argv, problem);
    if (!request) {
        std::cerr << "tessela: " << problem << '\n';
        printUsage(std::cerr);
        return usageError;
    }
    if (request->verbose) {
        logToStandardError();
    }
    if (request->command == nullptr) {
        if (request->help) {
            printUsage(std::cout);
            return success;
        }
        std::cerr << "tessela: options need a command; with none at all, the desktop "
                     "application starts.\n";
        printUsage(std::cerr);
        return usageError;
    }
    const std::string name = request->command->name;
    if (request->help) {
        std::cout << "usage: " << request->command->synopsis << "\n\n"
                  << request->command->help << '\n';
        return success;
    }
    if (name == "file-manager-menu") {
        return fileManagerMenu(request->paths);
    }
    const bool needsPaths = name == "lock" || name == "unlock" || name == "relock" ||
                            name == "remove-lock" || name == "forget";
    if (needsPaths && request->paths.empty()) {
        std::cerr << "tessela: " << name << " needs a path\nusage: " << request->command->synopsis
                  << '\n';
        return usageError;
    }
    if (!needsPaths && !request->paths.empty()) {
        std::cerr << "tessela: " << name << " takes no path\nusage: " << request->command->synopsis
                  << '\n';
        return usageError;
    }

    if (name == "quit") {
        return quitApplication();
    }

    // Signals become a cancellation from here on, before any other thread starts.
    CancelToken cancel;
    const Interrupts interrupts(cancel);

    const fs::path support = AppPaths::support();
    std::optional<SupportLock> supportLock;
    try {
        supportLock = SupportLock::acquire(support);
    } catch (const std::system_error& error) {
        std::cerr << "Tessela cannot use its records in " << shown(support.string()) << ": "
                  << error.code().message() << ".\n";
        return failure;
    }
    Locker locker(support, AppPaths::home(), runningProgram(), DiskImageTool());
    if (!supportLock) {
        // Setting up the password needs only the keyring and a look at the records (written
        // atomically, so read whole): it works while the desktop application runs, which
        // reads the keyring again at its next refresh and at every request.
        if (name == "setup") {
            const PasswordStore store(AppPaths::keychainService());
            return Session(locker, *request, cancel, store).setup();
        }
        // The status is read without the lock: the records and the journal are replaced whole,
        // so a read sees one version or the next. Nothing is written: no interrupted work is
        // finished, nothing repaired, and a file that does not decode is left where it is (the
        // application, which holds the records, sets it aside itself).
        if (name == "status") {
            Locker reading(support, AppPaths::home(), runningProgram(), DiskImageTool(),
                           {.readOnly = true});
            const PasswordStore store(AppPaths::keychainService());
            return Session(reading, *request, cancel, store).status();
        }
        if (name == "lock" || name == "unlock" || name == "relock" || name == "remove-lock") {
            // A password never travels to the application: it asks on the desktop itself.
            if (request->passwordFromStandardInput || request->force) {
                std::cerr << "Tessela is running and asks on the desktop itself: "
                          << (request->force ? "--force" : "--password-stdin")
                          << " cannot be handed to it. Run this without it, or quit Tessela "
                             "first.\n";
                return failure;
            }
            if (const std::optional<int> status = handOver(*request, name, cancel)) {
                return *status;
            }
        }
        std::cerr << "Another copy of Tessela is working in " << shown(support.string())
                  << ". Try again when it has finished.\n";
        return failure;
    }

    const OpenItemsSnapshot publishing(locker);
    const RecoveryReport recovery = locker.recover();
    const std::optional<RecoveryNotice> notice = recovery.notice();
    if (name == "recover") {
        if (notice) {
            std::cout << notice->title << '\n' << notice->body << '\n';
        } else {
            std::cout << "Nothing to recover.\n";
        }
        return success;
    }
    if (notice) {
        std::cerr << notice->title << ". " << notice->body << '\n';
    }

    const PasswordStore store(AppPaths::keychainService());
    Session session(locker, *request, cancel, store);
    if (const int checked = session.checkPaths(); checked != success) {
        return checked;
    }
    // A password change that some item missed is resumed at every start, as the application
    // does; what is still left is told by status and change-password.
    if (!request->passwordFromStandardInput && name != "change-password") {
        (void)PasswordChange(locker, store).finishMigrationIfNeeded();
    }
    if (name == "setup") {
        return session.setup();
    }
    if (name == "change-password") {
        return session.changePassword();
    }
    if (name == "forget") {
        return session.forget();
    }
    if (name == "lock") {
        return session.lock();
    }
    if (name == "unlock") {
        return session.unlock();
    }
    if (name == "relock") {
        return session.relock();
    }
    if (name == "remove-lock") {
        return session.removeLock();
    }
    return session.status();
}

}  // namespace tessela::cli
