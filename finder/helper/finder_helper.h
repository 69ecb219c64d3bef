#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tessela::finder {

// What tessela-finder does for file managers: print a selection's menu entries, and deliver
// command URLs to the running application, starting it when none answers.

// How long `openURLs` waits for a Tessela it started to answer.
inline constexpr std::chrono::seconds startBound{10};

// The program to start when no application answers: TESSELA_FINDER_LAUNCH when the tests set
// it, otherwise the "tessela" beside this helper.
[[nodiscard]] std::filesystem::path applicationProgram();

// The selection as locations a command can carry: absolute and lexically normal, bytes kept.
[[nodiscard]] std::vector<std::filesystem::path> selectionFrom(
    const std::vector<std::string>& arguments);

// Delivers `urls` over one connection. When nothing listens, starts `program` detached (a new
// session, no inherited descriptors, standard streams on /dev/null) and retries until `bound`
// has passed. Returns none on success, or the sentence that tells the user what went wrong.
[[nodiscard]] std::optional<std::string> openURLs(const std::vector<std::string>& urls,
                                                  const std::filesystem::path& program,
                                                  std::chrono::milliseconds bound = startBound);

// The command line: "open URL…", "entries PATH…", "menu PATH…". Returns the exit status.
int run(int argc, char** argv);

}  // namespace tessela::finder
