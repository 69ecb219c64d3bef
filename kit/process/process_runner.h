#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "activity/cancel_token.h"

namespace tessela {

// How a child process ended.
struct ProcessResult {
    // The exit code, or the signal number when the child was ended by a signal.
    int status = 0;
    // Standard output and standard error together, in the order they were written, as UTF-8 with
    // ill-formed bytes replaced by U+FFFD.
    std::string output;
    // The runner ended the child because the time limit passed.
    bool timedOut = false;
    // The child was ended by a signal (then `status` is the signal number).
    bool signalled = false;

    friend bool operator==(const ProcessResult&, const ProcessResult&) = default;
};

// The only way the system starts a child process.
//
// Guarantees of `run`:
// - The tool gets an argument vector, never a shell. Its standard input is a pipe that receives
//   `input` (if any) and is then closed, so the tool sees end of file; a tool that never reads
//   its input neither blocks nor breaks the call.
// - Standard output and standard error are one open file, so what the tool writes to either
//   lands in one text in the order it was written.
// - Output goes to an unlinked temporary file (O_TMPFILE in the temporary folder), not a pipe.
//   The call returns as soon as the tool itself has exited, even when a descendant it started
//   (the encrypted file system's mount daemon, for one) keeps the same output open; such a
//   descendant can go on writing safely, because nothing is ever closed under it: its writes
//   go to the unlinked file, whose space is freed when the last writer exits.
// - At most `maxOutputBytes` of output are kept in memory: beyond that, the first and the last
//   half of the bound are kept, joined by a line saying how many bytes were left out.
// - The child inherits no file descriptor but 0, 1 and 2, and starts with default signal
//   handling and an empty signal mask.
// - The child is killed when this process dies (it is never left copying or writing on its
//   own); a descendant it starts, like the mount daemon, lives on. The child runs in a process
//   group of its own, so signals from the terminal (Ctrl-C) reach only the application.
// - The call sleeps on the child's pidfd, the input pipe and the cancel token's descriptor, so
//   it wakes the moment the child exits or the token is cancelled (kernels without pidfd_open
//   fall back to looking every `pollInterval`). When `timeout` seconds pass the child gets
//   SIGTERM and the result has `timedOut` set; when `cancel` is cancelled it gets SIGTERM and,
//   once it has exited, the call throws TesselaError::cancelled() (also when the cancellation
//   came after the tool had finished). A child that is still there `grace` (by default
//   `terminationGrace`) after SIGTERM gets SIGKILL, so a call never hangs on a tool that
//   ignores SIGTERM.
// - The exit status is always known: when it cannot be had (waitpid fails, for example with
//   ECHILD because something else reaped the child or SIGCHLD is ignored), the call throws
//   std::system_error rather than report a status the tool may never have given.
// - With `workingFolder` (an open folder descriptor), the tool starts in that folder, so its
//   relative paths resolve there even if the folder's path was changed meanwhile.
// - A tool that cannot be started (missing, not executable) throws std::system_error with the
//   exec error number; nothing was started. A non-zero status or a time-out is never thrown.
// - SIGPIPE is ignored in this process from the first run on, so writing to a tool that has
//   closed its input reports an error instead of killing the application.
//
// Each call owns its child and its files and may run on any thread, several at once.
class ProcessRunner {
  public:
    static constexpr std::chrono::milliseconds pollInterval{20};
    static constexpr std::chrono::seconds terminationGrace{3};
    static constexpr std::size_t maxOutputBytes = 32 * 1024 * 1024;

    [[nodiscard]] static ProcessResult run(const std::string& path,
                                           const std::vector<std::string>& arguments,
                                           const std::optional<std::string>& input = std::nullopt,
                                           std::optional<double> timeout = std::nullopt,
                                           const CancelToken* cancel = nullptr,
                                           int workingFolder = -1,
                                           std::chrono::milliseconds grace = terminationGrace);

    // Whether `pid` is a tool some call of `run` in this process is running right now.
    [[nodiscard]] static bool isRunningChild(pid_t pid);
};

}  // namespace tessela
