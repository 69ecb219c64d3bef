#include "cli/command_line.h"

int main(int argc, char** argv) {
    return tessela::cli::run(argc, argv);
}
