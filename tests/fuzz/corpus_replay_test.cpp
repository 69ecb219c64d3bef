// Every file of the fuzzing corpus (the seeds and every input a fuzzer once broke something
// with) goes through its target again, in the ordinary build.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "fuzz/fuzz_targets.h"

namespace tessela {
namespace {

namespace fs = std::filesystem;

TEST(FuzzCorpusTest, EveryInputStillPasses) {
    int inputs = 0;
    for (const fuzz::Target& target : fuzz::targets()) {
        const fs::path folder = fs::path(FUZZ_CORPUS_DIR) / target.name;
        ASSERT_TRUE(fs::is_directory(folder)) << "no corpus for " << target.name;
        for (const fs::directory_entry& file : fs::directory_iterator(folder)) {
            std::ifstream stream(file.path(), std::ios::binary);
            std::ostringstream bytes;
            bytes << stream.rdbuf();
            SCOPED_TRACE(file.path().string());
            EXPECT_NO_THROW(target.run(bytes.str()));
            ++inputs;
        }
    }
    EXPECT_GE(inputs, 8);
}

}  // namespace
}  // namespace tessela
