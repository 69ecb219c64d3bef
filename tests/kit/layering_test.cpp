#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <string_view>

namespace tessela {
namespace {

namespace fs = std::filesystem;

// The kit's folders from the lowest layer up. A source in one folder may include its own folder
// and folders listed before it, never one listed after it, so the folders never depend on each
// other both ways.
constexpr std::array<std::string_view, 13> layers = {
    "text",    "posix",  "errors",  "files",   "records",  "activity", "journal",
    "process", "checks", "privacy", "secrets", "commands", "engine",
};

int layerOf(std::string_view folder) {
    for (std::size_t layer = 0; layer < layers.size(); ++layer) {
        if (layers[layer] == folder) {
            return static_cast<int>(layer);
        }
    }
    return -1;
}

TEST(KitLayeringTest, NoFolderIncludesOneAboveIt) {
    const std::regex include(R"re(#include "([a-z_]+)/)re");
    int sources = 0;
    for (const fs::directory_entry& folder : fs::directory_iterator(KIT_SOURCE_DIR)) {
        if (!folder.is_directory()) {
            continue;
        }
        const std::string name = folder.path().filename().string();
        const int layer = layerOf(name);
        EXPECT_GE(layer, 0) << "the kit folder " << name << " has no place in the layers";
        for (const fs::directory_entry& source : fs::directory_iterator(folder.path())) {
            std::ifstream stream(source.path());
            ++sources;
            for (std::string line; std::getline(stream, line);) {
                std::smatch match;
                if (std::regex_search(line, match, include)) {
                    EXPECT_LE(layerOf(match[1].str()), layer)
                        << source.path().lexically_relative(KIT_SOURCE_DIR).string() << " includes "
                        << match[1].str() << ", a layer above " << name;
                }
            }
        }
    }
    EXPECT_GT(sources, 50);
}

}  // namespace
}  // namespace tessela
