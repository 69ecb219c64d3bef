#pragma once

#include "activity/cancel_token.h"

#include <map>
#include <optional>
#include <string>

namespace tessela::cli {

// Where the password comes from: never an argument. From standard input with --password-stdin
// (the first line, without its line ending), otherwise typed at the terminal without echo.
//
// Waiting for the password is cancellable: once `cancel` is cancelled (Ctrl-C), the wait ends at
// once with no password, and the terminal gets its echo back.
class PasswordPrompt {
  public:
    PasswordPrompt(bool fromStandardInput, const CancelToken& cancel)
        : fromStandardInput_(fromStandardInput), cancel_(cancel) {}

    // The password, asked with `prompt` on the terminal; with `confirm`, typed twice. None with
    // a message in `problem` when there is no terminal, input ended, the two differ, or the
    // wait was cancelled. Each prompt is asked once: asking again gives the same answer. From
    // standard input, each new prompt takes the next line.
    [[nodiscard]] std::optional<std::string> read(const std::string& prompt, bool confirm,
                                                  std::string& problem);

  private:
    bool fromStandardInput_;
    const CancelToken& cancel_;
    std::map<std::string, std::string> answers_;
};

}  // namespace tessela::cli
