#include <fcntl.h>
#include <unistd.h>

#include "cli/command_line.h"

int main(int argc, char** argv) {
    // Standard input, output and error are always open: started with one closed, the next file
    // opened would take its number, and a password read from "standard input" would come from
    // that file instead.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 &&
            ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) < 0) {
            return 1;
        }
    }
    return tessela::cli::run(argc, argv);
}
