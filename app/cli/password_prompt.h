#pragma once

#include <optional>
#include <string>

namespace tessela::cli {

// Where the password comes from: never an argument. From standard input with --password-stdin
// (the first line, without its line ending), otherwise typed at the terminal without echo.
class PasswordPrompt {
  public:
    explicit PasswordPrompt(bool fromStandardInput) : fromStandardInput_(fromStandardInput) {}

    // The password, asked with `prompt` on the terminal; with `confirm`, typed twice. None with
    // a message in `problem` when there is no terminal, input ended, or the two differ.
    [[nodiscard]] std::optional<std::string> read(const std::string& prompt, bool confirm,
                                                  std::string& problem);

  private:
    bool fromStandardInput_;
    std::optional<std::string> cached_;
};

}  // namespace tessela::cli
