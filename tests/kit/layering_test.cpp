#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace tessela {
namespace {

namespace fs = std::filesystem;

// The kit's folders from the lowest layer up. A source in one folder may include its own folder
// and folders listed before it, never one listed after it, so the folders never depend on each
// other both ways.
constexpr std::array<std::string_view, 14> layers = {
    "text",    "posix",   "errors", "files",   "records", "container", "activity",
    "journal", "process", "checks", "privacy", "secrets", "commands",  "engine",
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
                    EXPECT_GE(layerOf(match[1].str()), 0)
                        << source.path().lexically_relative(KIT_SOURCE_DIR).string() << " includes "
                        << match[1].str() << ", which is no folder of the kit";
                    EXPECT_LE(layerOf(match[1].str()), layer)
                        << source.path().lexically_relative(KIT_SOURCE_DIR).string() << " includes "
                        << match[1].str() << ", a layer above " << name;
                }
            }
        }
    }
    EXPECT_GT(sources, 50);
}

// The program's folders and what each may include besides the kit: the model never includes a
// view or the command line, the command line never a view, the file-manager parts only the kit.
struct ProgramFolder {
    std::string_view folder;
    std::vector<std::string_view> mayInclude;
};

TEST(ProgramLayeringTest, TheModelIncludesNoViewAndNoFolderIncludesAnUnknownOne) {
    const std::vector<ProgramFolder> program = {
        {"app/model", {"model"}}, {"app/cli", {"model", "cli"}}, {"app/views", {"model", "views"}},
        {"finder/helper", {}},    {"finder/nautilus", {}},
    };
    const std::regex include(R"re(#include "([a-z_]+)/)re");
    const fs::path root = fs::path(KIT_SOURCE_DIR).parent_path();
    for (const char* top : {"app", "finder"}) {
        for (const fs::directory_entry& folder : fs::directory_iterator(root / top)) {
            const std::string name = folder.path().lexically_relative(root).string();
            if (folder.is_directory() && name != "app/icons" && name != "finder/actions") {
                EXPECT_TRUE(
                    std::any_of(program.begin(), program.end(),
                                [&](const ProgramFolder& known) { return known.folder == name; }))
                    << "the folder " << name << " has no place in the layers";
            }
        }
    }
    int sources = 0;
    for (const ProgramFolder& part : program) {
        for (const fs::directory_entry& source : fs::directory_iterator(root / part.folder)) {
            std::ifstream stream(source.path());
            ++sources;
            for (std::string line; std::getline(stream, line);) {
                std::smatch match;
                if (!std::regex_search(line, match, include)) {
                    continue;
                }
                const std::string included = match[1].str();
                const bool allowed = layerOf(included) >= 0 ||
                                     std::find(part.mayInclude.begin(), part.mayInclude.end(),
                                               included) != part.mayInclude.end();
                EXPECT_TRUE(allowed)
                    << source.path().lexically_relative(root).string() << " includes " << included;
            }
        }
    }
    EXPECT_GT(sources, 30);
}

}  // namespace
}  // namespace tessela
