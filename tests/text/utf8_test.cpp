#include "text/utf8.h"

#include <gtest/gtest.h>

namespace tessela {
namespace {

TEST(Utf8Test, ReplacesEachMaximalIllFormedSubpart) {
    const std::string fffd = "\xEF\xBF\xBD";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"plain ascii", "plain ascii"},
        {"caf\xC3\xA9 \xF0\x9F\x94\x92", "caf\xC3\xA9 \xF0\x9F\x94\x92"},
        {"a\xFF"
         "b",
         "a" + fffd + "b"},
        {"\xE2\x82", fffd},                               // truncated at the end
        {"\xE2\x82z", fffd + "z"},                        // truncated in the middle
        {"\xC0\xAF", fffd + fffd},                        // overlong lead is never valid
        {"\xED\xA0\x80", fffd + fffd + fffd},             // a surrogate
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // above U+10FFFF
        {std::string("nul\0ok", 6), std::string("nul\0ok", 6)},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(repairUtf8(input), expected) << input;
    }
}

}  // namespace
}  // namespace tessela
