// A right-click in GNOME Files: the module's get_file_items for selections of 1, 100 and 10,000
// ordinary items, and of 1 and 100 locked items (whose paths are resolved), with a shared state
// listing 1,000 open items. Goals: under 1 ms for one item, under 20 ms for 10,000.
#include <benchmark/benchmark.h>
#include <gio/gio.h>
#include <glib-object.h>
// The extension header declares the module's entry points without C linkage for C++.
extern "C" {
#include <nautilus-extension.h>
}

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/scratch.h"
#include "secrets/shared_state.h"
#include "support/nautilus_host.h"

namespace {

namespace fs = std::filesystem;

// The scratch folder: an enabled module, a published state of 1,000 open items, and locked
// items to select. Removed at exit.
const fs::path& scratch() {
    static const fs::path folder = [] {
        const fs::path made = tessela::bench::makeScratch();
        std::atexit([] { fs::remove_all(scratch()); });
        fs::create_directories(made / "data/tessela");
        fs::create_symlink(NAUTILUS_MODULE, made / "data/tessela/nautilus-extension");
        ::setenv("XDG_DATA_HOME", (made / "data").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", made.c_str(), 1);
        tessela::SharedState state{{}, tessela::SharedState::currentBootTime()};
        for (int index = 0; index < 1000; ++index) {
            const fs::path item = made / "Docs" / ("Item " + std::to_string(index) + ".tessvault");
            fs::create_directories(item);
            state.unlockedPaths.push_back(item.string());
        }
        state.write(made / "tessela/state.json");
        return made;
    }();
    return folder;
}

void rightClick(benchmark::State& state, bool locked) {
    const fs::path& folder = scratch();
    auto* provider = NAUTILUS_MENU_PROVIDER(
        g_object_new(tessela::testing::loadNautilusModule(NAUTILUS_MODULE), nullptr));
    GList* files = nullptr;
    for (std::int64_t index = 0; index < state.range(0); ++index) {
        const fs::path item =
            locked ? folder / "Docs" / ("Item " + std::to_string(index) + ".tessvault")
                   : folder / "Photos" / ("IMG_" + std::to_string(index) + ".jpg");
        files = g_list_append(files, tessela::testing::newFakeFileInfo(item.string()));
    }
    for (auto _ : state) {
        GList* items = nautilus_menu_provider_get_file_items(provider, files);
        if (items == nullptr) {
            state.SkipWithError("the module showed no entries");
            break;
        }
        g_list_free_full(items, g_object_unref);
    }
    g_list_free_full(files, g_object_unref);
    g_object_unref(provider);
}

void ordinaryItems(benchmark::State& state) {
    rightClick(state, false);
}
void lockedItems(benchmark::State& state) {
    rightClick(state, true);
}

BENCHMARK(ordinaryItems)->Arg(1)->Arg(100)->Arg(10'000)->Unit(benchmark::kMicrosecond);
BENCHMARK(lockedItems)->Arg(1)->Arg(100)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
