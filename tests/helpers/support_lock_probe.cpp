// Test helper: tries to take the support lock of the folder given as its argument, prints
// "acquired" or "refused", and holds an acquired lock until its standard input closes.
#include <cstdio>
#include <iostream>
#include <string>

#include "records/support_lock.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: support_lock_probe FOLDER\n";
        return 2;
    }
    auto lock = tessela::SupportLock::acquire(argv[1]);
    std::cout << (lock ? "acquired" : "refused") << std::endl;
    if (lock) {
        std::string ignored;
        while (std::getline(std::cin, ignored)) {
        }
    }
    return 0;
}
