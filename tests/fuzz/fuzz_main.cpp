// The libFuzzer entry point of one target, chosen at build time (FUZZ_TARGET).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "fuzz/fuzz_targets.h"

namespace {

void (*chosen())(std::string_view) {
    static void (*const run)(std::string_view) = [] {
        for (const tessela::fuzz::Target& target : tessela::fuzz::targets()) {
            if (std::string_view(target.name) == FUZZ_TARGET) {
                return target.run;
            }
        }
        std::abort();
    }();
    return run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    chosen()(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
