#include "cli/password_prompt.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <iostream>

#include "posix/unique_fd.h"

namespace tessela::cli {

namespace {

std::optional<std::string> readLine(int fd) {
    std::string line;
    char character;
    for (;;) {
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

// Reads one line from the terminal with echo off, restoring the terminal afterwards.
std::optional<std::string> askTerminal(int terminal, const std::string& prompt) {
    const std::string text = prompt + ": ";
    [[maybe_unused]] const ssize_t written = ::write(terminal, text.data(), text.size());
    struct termios saved {};
    const bool canHide = ::tcgetattr(terminal, &saved) == 0;
    if (canHide) {
        struct termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(terminal, TCSAFLUSH, &quiet);
    }
    std::optional<std::string> line = readLine(terminal);
    if (canHide) {
        ::tcsetattr(terminal, TCSAFLUSH, &saved);
    }
    [[maybe_unused]] const ssize_t newline = ::write(terminal, "\n", 1);
    return line;
}

}  // namespace

std::optional<std::string> PasswordPrompt::read(const std::string& prompt, bool confirm,
                                                std::string& problem) {
    if (cached_) {
        return cached_;
    }
    if (fromStandardInput_) {
        cached_ = readLine(STDIN_FILENO);
        if (!cached_) {
            problem = "No password on standard input.";
        }
        return cached_;
    }
    const UniqueFd terminal(::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY));
    if (!terminal) {
        problem = "There is no terminal to ask for the password on; use --password-stdin.";
        return std::nullopt;
    }
    std::optional<std::string> password = askTerminal(terminal.get(), prompt);
    if (!password) {
        problem = "No password was typed.";
        return std::nullopt;
    }
    if (confirm) {
        const std::optional<std::string> again = askTerminal(terminal.get(), "Type it again");
        if (again != password) {
            problem = "The two passwords differ. Nothing was changed.";
            return std::nullopt;
        }
    }
    cached_ = password;
    return cached_;
}

}  // namespace tessela::cli
