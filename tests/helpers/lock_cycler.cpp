// Test helper: locks a folder and removes its lock again, over and over, until it is killed.
// Before each step it writes "operation:step" to a status file, so the test that kills it can
// tell where the kill landed.
//
//   lock_cycler SUPPORT HOME ITEM STATUS-FILE
#include <filesystem>
#include <fstream>
#include <iostream>

#include "engine/locker.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    if (argc != 5) {
        std::cerr << "usage: lock_cycler SUPPORT HOME ITEM STATUS-FILE\n";
        return 2;
    }
    const fs::path support = argv[1];
    const fs::path home = argv[2];
    const fs::path item = argv[3];
    const fs::path status = argv[4];
    const fs::path locked = fs::path(item).concat(".tessvault");
    const std::string password = "correct horse battery";

    tessela::Locker locker(support, home, std::nullopt,
                           tessela::DiskImageTool(tessela::DiskImageTool::Tools{}, 10));
    std::string operation;
    const auto note = [&](std::string_view step) {
        std::ofstream(status, std::ios::trunc) << operation << ':' << step << std::flush;
    };
    const auto progress = [&](tessela::LockStep step) { note(tessela::rawValue(step)); };
    try {
        for (;;) {
            if (fs::exists(item)) {
                operation = "lock";
                note("start");
                (void)locker.lock(item, password, 1, nullptr, progress);
            } else if (fs::exists(locked)) {
                operation = "removeLock";
                note("start");
                (void)locker.removeLock(locked, password, nullptr, progress);
            } else {
                std::cerr << "neither " << item << " nor " << locked << " exists\n";
                return 3;
            }
            note("done");
        }
    } catch (const std::exception& error) {
        std::cerr << operation << " failed: " << error.what() << '\n';
        return 1;
    }
}
