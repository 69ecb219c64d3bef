#include "finder_helper.h"

int main(int argc, char** argv) {
    return tessela::finder::run(argc, argv);
}
