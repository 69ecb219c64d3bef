#include "process/process_runner.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>

#include "errors/tessela_error.h"
#include "posix/system_error.h"
#include "posix/unique_fd.h"
#include "text/utf8.h"

namespace tessela {

namespace {

using Clock = std::chrono::steady_clock;

// The tools being run now, from their start until they are reaped.
std::mutex runningLock;
std::set<pid_t>& running() {
    static std::set<pid_t> children;
    return children;
}

struct RunningChild {
    explicit RunningChild(pid_t child) : pid(child) {
        const std::lock_guard guard(runningLock);
        running().insert(pid);
    }
    ~RunningChild() {
        const std::lock_guard guard(runningLock);
        running().erase(pid);
    }
    RunningChild(const RunningChild&) = delete;
    RunningChild& operator=(const RunningChild&) = delete;
    pid_t pid;
};

void ignoreBrokenPipesOnce() {
    static std::once_flag once;
    std::call_once(once, [] { ::signal(SIGPIPE, SIG_IGN); });
}

std::filesystem::path temporaryFolder() {
    const char* folder = std::getenv("TMPDIR");
    return folder != nullptr && *folder != '\0' ? folder : "/tmp";
}

// An unlinked file that the child writes its output to (see the header for why not a pipe).
UniqueFd makeOutputFile() {
    const std::filesystem::path folder = temporaryFolder();
    UniqueFd fd(::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (fd) {
        return fd;
    }
    // Some file systems have no O_TMPFILE: create a private file and unlink it at once.
    std::string pattern = (folder / ".tessela-output-XXXXXX").string();
    fd.reset(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!fd) {
        throwLastError("create output file in", folder);
    }
    ::unlink(pattern.c_str());
    return fd;
}

struct Pipe {
    UniqueFd readEnd;
    UniqueFd writeEnd;
};

Pipe makePipe(const std::string& pathForErrors) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throwLastError("pipe for", pathForErrors);
    }
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// Runs in the child between fork and exec: only async-signal-safe calls, no allocation.
[[noreturn]] void becomeTool(const char* path, char* const* argv, int input, int output,
                             int errorReport, int highestFd, pid_t parent, int workingFolder) {
    // The tool ends with us: a copy must not go on writing after the application died.
    // Descendants it starts (the mount daemon) are not affected.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) {
        ::_exit(127);  // we died before the setting took hold
    }
    // A process group of its own: Ctrl-C at the terminal reaches the application, which cancels
    // through the runner, never the tool or a mount daemon directly.
    ::setpgid(0, 0);
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
        ::sigaction(signalNumber, &defaultAction, nullptr);
    }
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    // The folder is still open here (it closes at exec): relative paths of the tool resolve in
    // the folder held, whatever happened to its path.
    if (workingFolder >= 0 && ::fchdir(workingFolder) != 0) {
        const int error = errno;
        [[maybe_unused]] const ssize_t written = ::write(errorReport, &error, sizeof error);
        ::_exit(127);
    }

    const int targets[3] = {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO};
    const int sources[3] = {input, output, output};
    for (int index = 0; index < 3; ++index) {
        if (sources[index] == targets[index]) {
            // dup2 onto itself keeps close-on-exec: clear it by hand.
            ::fcntl(targets[index], F_SETFD, 0);
        } else if (::dup2(sources[index], targets[index]) < 0) {
            const int error = errno;
            [[maybe_unused]] const ssize_t written = ::write(errorReport, &error, sizeof error);
            ::_exit(127);
        }
    }
    // Every other descriptor closes at exec, whoever opened it and however.
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        for (int fd = 3; fd <= highestFd; ++fd) {
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    }
    ::execv(path, argv);
    const int error = errno;
    [[maybe_unused]] const ssize_t written = ::write(errorReport, &error, sizeof error);
    ::_exit(127);
}

pid_t launch(const std::string& path, const std::vector<std::string>& arguments, int input,
             int output, int workingFolder) {
    std::vector<std::string> argumentStorage;
    argumentStorage.reserve(arguments.size() + 1);
    argumentStorage.push_back(path);
    argumentStorage.insert(argumentStorage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : argumentStorage) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    struct rlimit limit {};
    const int highestFd = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                              ? static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 65536))
                              : 65536;

    Pipe errorReport = makePipe(path);

    // Block every signal across fork so no handler of ours runs in the child before it has
    // reset them; the child unblocks after resetting.
    sigset_t all;
    sigset_t previous;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        becomeTool(path.c_str(), argv.data(), input, output, errorReport.writeEnd.get(), highestFd,
                   parent, workingFolder);
    }
    const int forkError = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (pid < 0) {
        throw systemError(forkError, "fork for", path);
    }

    // The report pipe's write end closes in the child at exec; end of file means it started.
    errorReport.writeEnd.reset();
    int launchError = 0;
    ssize_t count;
    do {
        count = ::read(errorReport.readEnd.get(), &launchError, sizeof launchError);
    } while (count < 0 && errno == EINTR);
    if (count == static_cast<ssize_t>(sizeof launchError)) {
        int status;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        throw systemError(launchError, "launch", path);
    }
    return pid;
}

// Feeds standard input without ever blocking the polling loop: the write end is non-blocking
// and whatever the pipe does not take now is offered again on the next poll.
class InputFeeder {
  public:
    InputFeeder(UniqueFd writeEnd, std::string_view input)
        : fd_(std::move(writeEnd)), remaining_(input) {
        ::fcntl(fd_.get(), F_SETFL, O_NONBLOCK);
        feed();
    }

    void feed() {
        while (fd_ && !remaining_.empty()) {
            const ssize_t count = ::write(fd_.get(), remaining_.data(), remaining_.size());
            if (count < 0) {
                if (errno == EINTR) {
                    continue;
                }
                if (errno == EAGAIN) {
                    return;  // the pipe is full: try again on the next poll
                }
                break;  // the tool closed its input: its status tells the rest
            }
            remaining_.remove_prefix(static_cast<std::size_t>(count));
        }
        close();
    }

    void close() {
        fd_.reset();
        remaining_ = {};
    }

    // The pipe to wait on for room, or -1 when everything was written.
    [[nodiscard]] int waitingFd() const noexcept { return fd_ ? fd_.get() : -1; }

  private:
    UniqueFd fd_;
    std::string_view remaining_;
};

std::string readOutput(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return {};
    }
    const auto size = static_cast<std::size_t>(info.st_size);
    const auto readAt = [fd](std::size_t offset, std::size_t length) {
        std::string bytes(length, '\0');
        std::size_t done = 0;
        while (done < length) {
            const ssize_t count =
                ::pread(fd, bytes.data() + done, length - done, static_cast<off_t>(offset + done));
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count <= 0) {
                break;
            }
            done += static_cast<std::size_t>(count);
        }
        bytes.resize(done);
        return bytes;
    };
    if (size <= ProcessRunner::maxOutputBytes) {
        return readAt(0, size);
    }
    const std::size_t half = ProcessRunner::maxOutputBytes / 2;
    return readAt(0, half) + "\n[" + std::to_string(size - 2 * half) +
           " bytes of output left out]\n" + readAt(size - half, half);
}

// A descriptor that becomes readable when the child exits; none where the kernel has no
// pidfd_open (before 5.3), where the runner falls back to polling.
UniqueFd openPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
    return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#else
    (void)pid;
    return UniqueFd();
#endif
}

// The child's wait status once it has exited; none while it runs. A status that cannot be had
// (ECHILD: something else reaped the child, or SIGCHLD is ignored) is thrown: reporting success
// for a tool whose ending is unknown would count a failed copy as done.
std::optional<int> collect(pid_t pid, const std::string& path) {
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return status;
        }
        if (done == 0) {
            return std::nullopt;
        }
        if (errno != EINTR) {
            throw systemError(errno, "wait for", path);
        }
    }
}

}  // namespace

bool ProcessRunner::isRunningChild(pid_t pid) {
    const std::lock_guard guard(runningLock);
    return running().contains(pid);
}

ProcessResult ProcessRunner::run(const std::string& path, const std::vector<std::string>& arguments,
                                 const std::optional<std::string>& input,
                                 std::optional<double> timeout, const CancelToken* cancel,
                                 int workingFolder, std::chrono::milliseconds grace) {
    ignoreBrokenPipesOnce();

    UniqueFd output = makeOutputFile();
    Pipe inputPipe = makePipe(path);
    const pid_t pid = launch(path, arguments, inputPipe.readEnd.get(), output.get(), workingFolder);
    inputPipe.readEnd.reset();
    const RunningChild child(pid);
    const UniqueFd exited = openPidFd(pid);
    InputFeeder feeder(std::move(inputPipe.writeEnd), input ? std::string_view(*input) : "");

    const Clock::time_point start = Clock::now();
    std::optional<Clock::time_point> deadline;
    if (timeout) {
        deadline = start + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(*timeout));
    }
    ProcessResult result;
    std::optional<Clock::time_point> terminatedAt;
    bool killed = false;
    int status = 0;
    for (;;) {
        if (const std::optional<int> ended = collect(pid, path)) {
            status = *ended;
            break;
        }
        feeder.feed();
        const Clock::time_point now = Clock::now();
        if (!terminatedAt) {
            const bool cancelled = cancel != nullptr && cancel->isCancelled();
            const bool late = deadline && now >= *deadline;
            if (cancelled || late) {
                result.timedOut = !cancelled;
                ::kill(pid, SIGTERM);
                terminatedAt = now;
            }
        } else if (!killed && now - *terminatedAt >= grace) {
            ::kill(pid, SIGKILL);
            killed = true;
        }

        // Sleep until the child exits, the input pipe has room, the token is cancelled or the
        // next deadline passes; without a pidfd, look again after the poll interval.
        std::optional<Clock::time_point> wakeAt;
        if (terminatedAt && !killed) {
            wakeAt = *terminatedAt + grace;
        } else if (!terminatedAt && deadline) {
            wakeAt = deadline;
        }
        pollfd waits[3];
        nfds_t count = 0;
        if (exited) {
            waits[count++] = {exited.get(), POLLIN, 0};
        }
        if (feeder.waitingFd() >= 0) {
            waits[count++] = {feeder.waitingFd(), POLLOUT, 0};
        }
        if (cancel != nullptr && !terminatedAt) {
            waits[count++] = {cancel->wakeFd(), POLLIN, 0};
        }
        int waitMilliseconds = -1;
        if (wakeAt) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*wakeAt - Clock::now());
            waitMilliseconds = static_cast<int>(std::max<std::int64_t>(0, left.count()));
        }
        const bool watchesChild = exited.valid();
        const bool watchesCancel = cancel == nullptr || terminatedAt || cancel->wakeFd() >= 0;
        if (!watchesChild || !watchesCancel) {
            const auto interval = static_cast<int>(pollInterval.count());
            waitMilliseconds =
                waitMilliseconds < 0 ? interval : std::min(waitMilliseconds, interval);
        }
        ::poll(waits, count, waitMilliseconds);
    }
    feeder.close();

    if (cancel != nullptr && cancel->isCancelled()) {
        throw TesselaError::cancelled();
    }
    if (WIFSIGNALED(status)) {
        result.status = WTERMSIG(status);
        result.signalled = true;
    } else {
        result.status = WEXITSTATUS(status);
    }
    result.output = repairUtf8(readOutput(output.get()));
    return result;
}

}  // namespace tessela
