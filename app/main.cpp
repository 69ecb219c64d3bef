#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli/command_line.h"
#include "views/desktop_application.h"

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
    // No command, or only things to open (a "tessela:" link, a locked item): the desktop
    // application. Everything else is the command line.
    std::vector<std::string> opened(argv + 1, argv + argc);
    bool desktop = true;
    for (const std::string& argument : opened) {
        desktop = desktop && tessela::isSomethingToOpen(argument);
    }
    if (desktop) {
        return tessela::runDesktopApplication(argc, argv, opened);
    }
    return tessela::cli::run(argc, argv);
}
