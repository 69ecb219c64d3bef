#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

extern char** environ;

namespace tessela::testing {

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& arguments) {
    int inputPipe[2];
    int outputPipe[2];
    if (::pipe2(inputPipe, O_CLOEXEC) != 0 || ::pipe2(outputPipe, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    UniqueFd childInput(inputPipe[0]);
    input_.reset(inputPipe[1]);
    output_.reset(outputPipe[0]);
    UniqueFd childOutput(outputPipe[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, childInput.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, childOutput.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, childOutput.get(), STDERR_FILENO);
    std::vector<std::string> storage{path};
    storage.insert(storage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : storage) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    const int error = posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        pid_ = -1;
        throw std::system_error(error, std::generic_category(), "posix_spawn " + path);
    }
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        wait();
    }
}

std::string ChildProcess::readLine() {
    std::string line;
    char character;
    for (;;) {
        const ssize_t count = ::read(output_.get(), &character, 1);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0 || character == '\n') {
            return line;
        }
        line += character;
    }
}

void ChildProcess::write(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t count = ::write(input_.get(), text.data() + done, text.size() - done);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            throw std::system_error(errno, std::generic_category(), "write to child");
        }
        done += static_cast<std::size_t>(count);
    }
}

void ChildProcess::closeInput() {
    input_.reset();
}

std::string ChildProcess::readAll() {
    std::string all;
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(output_.get(), buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return all;
        }
        all.append(buffer, static_cast<std::size_t>(count));
    }
}

int ChildProcess::wait() {
    int status = 0;
    if (pid_ > 0) {
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
    return status;
}

}  // namespace tessela::testing
