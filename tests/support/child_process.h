#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "posix/unique_fd.h"

namespace tessela::testing {

// A child process that a test drives while it runs: it writes lines to the child's standard
// input, reads lines from its standard output and error (one stream), and ends it. The child is
// killed and reaped when the object goes away, also when a test fails.
class ChildProcess {
  public:
    ChildProcess(const std::string& path, const std::vector<std::string>& arguments);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    [[nodiscard]] pid_t pid() const noexcept { return pid_; }
    // The next line of output without its line feed; empty at end of output.
    [[nodiscard]] std::string readLine();
    // Writes `text` to the child's standard input.
    void write(const std::string& text);
    // Closes the child's standard input, so it sees end of file.
    void closeInput();
    // Everything the child writes until it closes its output.
    [[nodiscard]] std::string readAll();
    // Waits for the child to exit and returns its raw wait status.
    int wait();

  private:
    pid_t pid_ = -1;
    UniqueFd input_;
    UniqueFd output_;
};

}  // namespace tessela::testing
