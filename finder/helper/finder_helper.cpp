#include "finder_helper.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "commands/command_socket.h"
#include "commands/finder_menu_model.h"
#include "files/paths.h"
#include "finder_popup.h"
#include "posix/unique_fd.h"

namespace tessela::finder {

namespace {

constexpr const char* unreachable = "Tessela could not be reached. Start Tessela and try again.";
constexpr std::chrono::milliseconds patience{5000};
constexpr std::chrono::milliseconds retryEvery{100};

// Starts `program` with no arguments, detached from this process and its caller: the child
// forks again and exits, so the program is nobody's child and outlives the file manager.
// Returns the error number when it could not be started.
int startDetached(const std::filesystem::path& program) {
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        return errno;
    }
    const UniqueFd reading(report[0]);
    UniqueFd writing(report[1]);
    const pid_t child = ::fork();
    if (child < 0) {
        return errno;
    }
    if (child == 0) {
        ::setsid();
        if (::fork() != 0) {
            ::_exit(0);
        }
        const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        for (int stream = 0; stream < 3; ++stream) {
            ::dup2(null, stream);
        }
        ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
        ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        const int error = errno;
        [[maybe_unused]] const ssize_t ignored = ::write(writing.get(), &error, sizeof error);
        ::_exit(127);
    }
    writing.reset();
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t got = 0;
    do {
        got = ::read(reading.get(), &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    return got == sizeof error ? error : 0;
}

void printEntries(const std::vector<FinderMenuEntry>& entries) {
    for (const FinderMenuEntry& entry : entries) {
        std::cout << entry.title << '\t' << entry.command.url() << '\n';
    }
}

int usage() {
    std::cerr << "usage: tessela-finder open [--show-errors] URL…|-\n"
                 "       tessela-finder entries [--] PATH…\n"
                 "       tessela-finder menu [--] PATH…\n";
    return 2;
}

}  // namespace

std::filesystem::path applicationProgram() {
    if (const char* launch = std::getenv("TESSELA_FINDER_LAUNCH");
        launch != nullptr && *launch != '\0') {
        return launch;
    }
    return runningProgram().value_or(std::filesystem::path()).parent_path() / "tessela";
}

std::vector<std::filesystem::path> selectionFrom(const std::vector<std::string>& arguments) {
    std::vector<std::filesystem::path> selection;
    for (const std::string& argument : arguments) {
        if (argument.empty()) {
            continue;  // names nothing
        }
        std::filesystem::path path = std::filesystem::absolute(argument).lexically_normal();
        if (path.has_relative_path() && !path.has_filename()) {
            path = path.parent_path();  // "folder/" names the folder
        }
        selection.push_back(std::move(path));
    }
    return selection;
}

std::optional<std::string> openURLs(const std::vector<std::string>& urls,
                                    const std::filesystem::path& program,
                                    std::chrono::milliseconds bound) {
    const std::optional<std::filesystem::path> socket = CommandSocket::defaultPath();
    if (!socket) {
        return std::string(unreachable) + " (XDG_RUNTIME_DIR is not set.)";
    }
    try {
        if (CommandSocket::deliver(*socket, urls, patience) == CommandSocket::Delivery::delivered) {
            return std::nullopt;
        }
        if (const int error = startDetached(program); error != 0) {
            return "Tessela could not be started (" + program.string() + ": " +
                   std::strerror(error) + ").";
        }
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(retryEvery);
            if (CommandSocket::deliver(*socket, urls, patience) ==
                CommandSocket::Delivery::delivered) {
                return std::nullopt;
            }
        }
        return std::string(unreachable);
    } catch (const std::invalid_argument& error) {
        return "Tessela was not asked: " + std::string(error.what());
    } catch (const std::exception& error) {
        return std::string(unreachable) + " (" + error.what() + ")";
    }
}

int run(int argc, char** argv) {
    if (argc < 2) {
        return usage();
    }
    const std::string verb = argv[1];
    std::vector<std::string> arguments(argv + 2, argv + argc);
    // "--" may come before the paths, so that a path beginning with "-" reads as one.
    if (verb != "open" && !arguments.empty() && arguments.front() == "--") {
        arguments.erase(arguments.begin());
    }
    if (verb == "open") {
        std::vector<std::string> urls(arguments);
        const bool showErrors = !urls.empty() && urls.front() == "--show-errors";
        if (showErrors) {
            urls.erase(urls.begin());
        }
        // "-": one URL per line on standard input, where a selection of any size fits.
        if (urls.size() == 1 && urls.front() == "-") {
            urls.clear();
            for (std::string line; std::getline(std::cin, line);) {
                if (!line.empty()) {
                    urls.push_back(line);
                }
            }
        }
        if (urls.empty()) {
            return usage();
        }
        if (const std::optional<std::string> failure = openURLs(urls, applicationProgram())) {
            std::cerr << "tessela-finder: " << *failure << '\n';
            if (showErrors) {
                showError(argc, argv, *failure);
            }
            return 1;
        }
        return 0;
    }
    if (verb == "entries") {
        printEntries(FinderMenuModel::currentEntries(selectionFrom(arguments)));
        return 0;
    }
    if (verb == "menu") {
        return showMenu(argc, argv, selectionFrom(arguments));
    }
    return usage();
}

}  // namespace tessela::finder
