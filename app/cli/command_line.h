#pragma once

namespace tessela::cli {

// The tessela command line: lock, unlock, relock, remove-lock, status and recover.
//
// Every command holds the support directory's lock while it runs (a second copy refuses
// cleanly) and runs recovery first. Passwords come from the terminal without echo, or from
// standard input with --password-stdin, never from an argument. Failures print the engine's own
// sentence and exit with status 1; a usage error exits with 2; Ctrl-C during a lock or a lock
// removal cancels it and exits with 130. With --verbose (any command) the process's log, what was
// worked around and why, is printed on standard error too; without it nothing of the log is.
// `tessela --self-test` checks the state shared with the file-manager plug-in instead.
[[nodiscard]] int run(int argc, char** argv);

}  // namespace tessela::cli
