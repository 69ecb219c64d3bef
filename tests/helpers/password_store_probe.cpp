// Loads the stored secret under the service given as the argument, then tries to save one, and
// prints what happened: the password store seen from a process of its own, on whatever session
// bus its environment names.
#include <iostream>
#include <stdexcept>

#include "model/password_store.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: password_store_probe SERVICE\n";
        return 2;
    }
    const tessela::PasswordStore store(argv[1]);
    std::cout << (store.load() ? "loaded" : "none") << '\n';
    try {
        store.save({"probe", 1, std::nullopt, {}});
        std::cout << "saved\n";
    } catch (const std::runtime_error& error) {
        std::cout << "not saved\n";
    }
    return 0;
}
