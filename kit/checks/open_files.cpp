#include "checks/open_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <map>
#include <set>

#include "process/process_runner.h"
#include "text/log.h"
#include "text/utf8.h"

namespace tessela {

namespace {

std::vector<std::string> namesInFirstSeenOrder(const std::vector<OpenFiles::Holder>& holders) {
    std::vector<std::string> names;
    std::set<std::string> seen;
    for (const OpenFiles::Holder& holder : holders) {
        if (seen.insert(holder.command).second) {
            names.push_back(holder.command);
        }
    }
    return names;
}

// This process, or a tool it runs right now (a copy, the lister itself): never someone the user
// has to close. Other processes it started (an editor opened from Tessela) are holders like any.
bool isOurs(pid_t pid) {
    return pid == ::getpid() || ProcessRunner::isRunningChild(pid);
}

bool isAllowlisted(std::string_view command) {
    return std::find(OpenFiles::autoEjectAllowlist.begin(), OpenFiles::autoEjectAllowlist.end(),
                     command) != OpenFiles::autoEjectAllowlist.end();
}

}  // namespace

OpenFiles::Holders OpenFiles::holders(const std::filesystem::path& location, double timeout,
                                      const std::string& lister) {
    struct stat info {};
    if (::lstat(location.c_str(), &info) != 0) {
        return Holders::of({});
    }
    // -w: no warnings about file systems lsof cannot look into (other users' mounts).
    std::vector<std::string> arguments = {"-w", "-F", "pcfa"};
    if (S_ISDIR(info.st_mode)) {
        arguments.emplace_back("+D");
    }
    arguments.push_back(location.string());
    try {
        const ProcessResult result = ProcessRunner::run(lister, arguments, std::nullopt, timeout);
        Holders found = classify(result.status, result.timedOut, result.output);
        if (found.known) {
            std::erase_if(*found.known, [](const Holder& holder) { return isOurs(holder.pid); });
        }
        return found;
    } catch (const std::exception&) {
        logCaught(LogLevel::warning,
                  {"Could not ask ", lister, " which programs hold files in ", location, " open"});
        return Holders::unknown();
    }
}

std::vector<std::string> OpenFiles::appNames(const std::filesystem::path& location,
                                             double timeout) {
    return writerNames(holders(location, timeout));
}

std::vector<std::string> OpenFiles::writerNames(const Holders& holders) {
    if (holders.isUnknown()) {
        return {};
    }
    std::vector<Holder> writers;
    std::copy_if(holders.known->begin(), holders.known->end(), std::back_inserter(writers),
                 [](const Holder& holder) { return holder.isWriter; });
    return namesInFirstSeenOrder(writers);
}

std::vector<std::string> OpenFiles::blockingNames(const Holders& holders) {
    if (holders.isUnknown()) {
        return {};
    }
    const auto& all = *holders.known;
    if (std::any_of(all.begin(), all.end(), [](const Holder& holder) { return holder.isWriter; })) {
        return writerNames(holders);
    }
    std::vector<Holder> blocking;
    std::copy_if(all.begin(), all.end(), std::back_inserter(blocking),
                 [](const Holder& holder) { return !isAllowlisted(holder.command); });
    return namesInFirstSeenOrder(blocking);
}

bool OpenFiles::safeToAutoEject(const Holders& holders, const ExecutablePathLookup& lookup) {
    if (holders.isUnknown() || holders.known->empty()) {
        return false;
    }
    return std::all_of(holders.known->begin(), holders.known->end(), [&](const Holder& holder) {
        if (holder.isWriter || !isAllowlisted(holder.command)) {
            return false;
        }
        const std::optional<std::string> path = lookup(holder.pid);
        return path &&
               std::any_of(systemExecutablePrefixes.begin(), systemExecutablePrefixes.end(),
                           [&](std::string_view prefix) { return path->starts_with(prefix); });
    });
}

std::optional<std::string> OpenFiles::executablePath(pid_t pid) {
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    char buffer[4096];
    const ssize_t length = ::readlink(link.c_str(), buffer, sizeof buffer);
    if (length < 1) {
        return std::nullopt;
    }
    return repairUtf8(std::string_view(buffer, static_cast<std::size_t>(length)));
}

std::vector<OpenFiles::Holder> OpenFiles::parse(std::string_view output) {
    pid_t current = 0;
    std::map<pid_t, std::optional<std::string>> commands;
    std::map<pid_t, bool> writers;
    std::vector<pid_t> order;
    while (!output.empty()) {
        const auto end = output.find('\n');
        const std::string_view line = output.substr(0, end);
        output = end == std::string_view::npos ? std::string_view() : output.substr(end + 1);
        if (line.empty()) {
            continue;
        }
        const std::string_view rest = line.substr(1);
        switch (line.front()) {
            case 'p': {
                pid_t pid = 0;
                const auto [last, error] =
                    std::from_chars(rest.data(), rest.data() + rest.size(), pid);
                current = error == std::errc() && last == rest.data() + rest.size() ? pid : 0;
                if (writers.emplace(current, false).second) {
                    order.push_back(current);
                }
                break;
            }
            case 'c':
                if (!commands[current]) {
                    commands[current] = std::string(rest);
                }
                break;
            case 'a':
                if (rest == "w" || rest == "u") {
                    writers[current] = true;
                }
                break;
            default:
                break;
        }
    }
    std::vector<Holder> holders;
    holders.reserve(order.size());
    for (const pid_t pid : order) {
        const auto& command = commands[pid];
        holders.push_back({command.value_or(""), writers[pid], pid});
    }
    return holders;
}

OpenFiles::Holders OpenFiles::classify(int status, bool timedOut, std::string_view output) {
    if (timedOut) {
        return Holders::unknown();
    }
    if (status != 0 && output.find_first_not_of(" \t\r\n") == std::string_view::npos) {
        return Holders::unknown();
    }
    return Holders::of(parse(output));
}

DiskImageTool::BlockerCheck OpenFiles::blockerCheck(std::string lister) {
    return [lister = std::move(lister)](const std::filesystem::path& mountPoint) {
        const Holders found = holders(mountPoint, defaultTimeout, lister);
        return DiskImageTool::Blockers{blockingNames(found), !found.isUnknown() &&
                                                                 !found.known->empty() &&
                                                                 safeToAutoEject(found)};
    };
}

}  // namespace tessela
