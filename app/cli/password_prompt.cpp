#include "cli/password_prompt.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <iostream>

#include "posix/unique_fd.h"

namespace tessela::cli {

namespace {

// Sleeps until `fd` has input or the token is cancelled; true when there is input.
bool awaitInput(int fd, const CancelToken& cancel) {
    for (;;) {
        if (cancel.isCancelled()) {
            return false;
        }
        pollfd waits[2] = {{fd, POLLIN, 0}, {cancel.wakeFd(), POLLIN, 0}};
        const nfds_t count = cancel.wakeFd() >= 0 ? 2 : 1;
        // Without the token's descriptor, look at the flag every 100 ms.
        const int ready = ::poll(waits, count, cancel.wakeFd() >= 0 ? -1 : 100);
        if (ready > 0 && (waits[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            return !cancel.isCancelled();
        }
    }
}

std::optional<std::string> readLine(int fd, const CancelToken& cancel) {
    std::string line;
    char character;
    for (;;) {
        if (!awaitInput(fd, cancel)) {
            return std::nullopt;
        }
        const ssize_t count = ::read(fd, &character, 1);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            if (line.empty()) {
                return std::nullopt;
            }
            break;
        }
        if (character == '\n') {
            break;
        }
        line += character;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

// Reads one line from the terminal with echo off, restoring the terminal afterwards, however
// the wait ends.
std::optional<std::string> askTerminal(int terminal, const std::string& prompt,
                                       const CancelToken& cancel) {
    const std::string text = prompt + ": ";
    [[maybe_unused]] const ssize_t written = ::write(terminal, text.data(), text.size());
    struct termios saved {};
    const bool canHide = ::tcgetattr(terminal, &saved) == 0;
    if (canHide) {
        struct termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(terminal, TCSAFLUSH, &quiet);
    }
    std::optional<std::string> line = readLine(terminal, cancel);
    if (canHide) {
        ::tcsetattr(terminal, TCSAFLUSH, &saved);
    }
    [[maybe_unused]] const ssize_t newline = ::write(terminal, "\n", 1);
    return line;
}

}  // namespace

std::optional<std::string> PasswordPrompt::read(const std::string& prompt, bool confirm,
                                                std::string& problem) {
    if (const auto answered = answers_.find(prompt); answered != answers_.end()) {
        return answered->second;
    }
    const auto cancelled = [&] {
        problem = "Cancelled. Nothing was changed.";
        return std::nullopt;
    };
    if (fromStandardInput_) {
        std::optional<std::string> line = readLine(STDIN_FILENO, cancel_);
        if (cancel_.isCancelled()) {
            return cancelled();
        }
        if (!line) {
            std::string wanted = prompt;
            wanted.front() =
                static_cast<char>(std::tolower(static_cast<unsigned char>(wanted.front())));
            problem = answers_.empty() ? "No password on standard input."
                                       : "Standard input ended before the " + wanted + ".";
            return std::nullopt;
        }
        answers_.emplace(prompt, *line);
        return line;
    }
    const UniqueFd terminal(::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY));
    if (!terminal) {
        problem = "There is no terminal to ask for the password on; use --password-stdin.";
        return std::nullopt;
    }
    std::optional<std::string> password = askTerminal(terminal.get(), prompt, cancel_);
    if (cancel_.isCancelled()) {
        return cancelled();
    }
    if (!password) {
        problem = "No password was typed.";
        return std::nullopt;
    }
    if (confirm) {
        const std::optional<std::string> again =
            askTerminal(terminal.get(), "Type it again", cancel_);
        if (cancel_.isCancelled()) {
            return cancelled();
        }
        if (again != password) {
            problem = "The two passwords differ. Nothing was changed.";
            return std::nullopt;
        }
    }
    answers_.emplace(prompt, *password);
    return password;
}

}  // namespace tessela::cli
