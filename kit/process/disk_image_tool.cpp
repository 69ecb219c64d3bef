#include "process/disk_image_tool.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "errors/tessela_error.h"
#include "files/file_io.h"
#include "files/file_walk.h"
#include "files/mount_table.h"
#include "files/paths.h"
#include "posix/system_error.h"
#include "posix/unique_fd.h"
#include "process/process_runner.h"
#include "text/log.h"
#include "text/tool_output.h"
#include "text/utf8.h"

namespace tessela {

namespace {

// gocryptfs' on-disk format: an 18-byte header per file and 32 bytes (nonce and tag) per 4 KiB
// block of content.
constexpr std::int64_t blockSize = 4096;
constexpr std::int64_t fileHeaderBytes = 18;
constexpr std::int64_t blockOverheadBytes = 32;

constexpr std::string_view listingFailure = "Could not list mounted disk images.";
constexpr std::chrono::seconds daemonExitWait{3};

bool canTravelOnStandardInput(std::string_view password) {
    return password.find('\n') == std::string_view::npos &&
           password.find('\0') == std::string_view::npos;
}

// What a gocryptfs exit status means, for a failure that printed nothing.
std::string meaningOf(int status) {
    using Exit = DiskImageTool::GocryptfsExit;
    switch (static_cast<Exit>(status)) {
        case Exit::cipherDirNotEmpty:
            return "The new locked item's folder is not empty.";
        case Exit::mountPointNotEmpty:
            return "The folder to open it in is not empty.";
        case Exit::passwordEmpty:
            return "The password is empty.";
        case Exit::configUnreadable:
            return "Its key file could not be read.";
        case Exit::configUnwritable:
            return "Its key file could not be written.";
        case Exit::fsckErrors:
            return "It is damaged.";
        default:
            return "The encryption tool failed with status " + std::to_string(status) + ".";
    }
}

bool isBusy(const ProcessResult& result) {
    // fusermount3 says "Device or resource busy" (strerror of EBUSY).
    return result.status != 0 &&
           (result.output.find("Device or resource busy") != std::string::npos ||
            result.output.find("Resource busy") != std::string::npos);
}

std::string standardised(const std::filesystem::path& path) {
    return withoutTrailingSlashes(path.lexically_normal().string());
}

std::vector<std::string> commandLineOf(const std::string& pid) {
    std::ifstream file("/proc/" + pid + "/cmdline", std::ios::binary);
    std::vector<std::string> arguments;
    std::string argument;
    while (std::getline(file, argument, '\0')) {
        arguments.push_back(argument);
    }
    return arguments;
}

bool hasExited(pid_t pid) {
    if (::kill(pid, 0) != 0) {
        return errno == ESRCH;
    }
    // Ended but not yet reaped by its parent: gone as far as the mount is concerned.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pidField;
    std::string name;
    char state = '?';
    stat >> pidField >> name >> state;
    return state == 'Z' || state == 'X';
}

}  // namespace

DiskImageTool::DiskImageTool() : DiskImageTool(Tools{}) {}

void DiskImageTool::failWith(const ProcessResult& result, Tool tool) {
    if (tool == Tool::gocryptfs && !result.signalled &&
        result.status == static_cast<int>(GocryptfsExit::passwordIncorrect)) {
        throw TesselaError::wrongPassword();
    }
    std::string message = clean(result.output);
    if (message.empty()) {
        message = result.signalled
                      ? "The tool was ended by signal " + std::to_string(result.status) + "."
                  : tool == Tool::gocryptfs
                      ? meaningOf(result.status)
                      : "Unmounting failed with status " + std::to_string(result.status) + ".";
    }
    throw TesselaError::diskImage(std::move(message));
}

void DiskImageTool::create(const std::filesystem::path& image, const std::string& volumeName,
                           const std::string& password, const CancelToken* cancel) const {
    (void)volumeName;  // gocryptfs bundles carry no volume name
    if (image.extension() != imageExtension) {
        throw std::invalid_argument("a new image's name must end in .sparsebundle: " +
                                    image.string());
    }
    if (!canTravelOnStandardInput(password)) {
        throw TesselaError::diskImage("The password cannot contain a line break.");
    }
    if (::mkdir(image.c_str(), 0700) != 0 && errno != EEXIST) {
        throwLastError("mkdir", image);
    }
    std::vector<std::string> arguments = {"-init", "-q", "-nosyslog"};
    if (scryptCost_) {
        arguments.insert(arguments.end(), {"-scryptn", std::to_string(*scryptCost_)});
    }
    arguments.insert(arguments.end(), {"--", image.string()});
    const ProcessResult result =
        ProcessRunner::run(tools_.gocryptfs, arguments, password + "\n", std::nullopt, cancel);
    if (result.status != 0 || result.signalled) {
        failWith(result, Tool::gocryptfs);
    }
}

void DiskImageTool::attach(const std::filesystem::path& image,
                           const std::filesystem::path& mountPoint, const std::string& password,
                           bool readOnly, Writes writes) const {
    if (!canTravelOnStandardInput(password)) {
        throw TesselaError::wrongPassword();
    }
    std::vector<std::string> arguments = {"-q", "-nosyslog"};
    if (readOnly) {
        arguments.emplace_back("-ro");
    } else if (writes == Writes::verifiedAfterwards) {
        arguments.emplace_back("-noprealloc");
    }
    arguments.insert(arguments.end(), {"--", image.string(), mountPoint.string()});
    const ProcessResult result = ProcessRunner::run(tools_.gocryptfs, arguments, password + "\n");
    if (result.status != 0 || result.signalled) {
        failWith(result, Tool::gocryptfs);
    }
}

void DiskImageTool::detach(const std::filesystem::path& mountPoint, bool force) const {
    if (force) {
        // A lazy unmount is never busy: it detaches now and lets open files go stale.
        forcedDetach(mountPoint);
        return;
    }
    for (int run = 1; run <= detachRuns; ++run) {
        const ProcessResult result =
            ProcessRunner::run(tools_.fusermount, {"-u", "--", mountPoint.string()});
        if (!isBusy(result)) {
            if (result.status != 0 || result.signalled) {
                failWith(result, Tool::fusermount);
            }
            return;
        }
        if (run < detachRuns) {
            std::this_thread::sleep_for(detachPause);
        }
    }
    const Blockers blockers = tools_.blockers ? tools_.blockers(mountPoint) : Blockers{};
    if (!blockers.safeToEject) {
        throw TesselaError::inUse(blockers.names);
    }
    forcedDetach(mountPoint);
}

void DiskImageTool::forcedDetach(const std::filesystem::path& mountPoint) const {
    const ProcessResult result =
        ProcessRunner::run(tools_.fusermount, {"-u", "-z", "--", mountPoint.string()});
    if (result.status != 0 || result.signalled) {
        failWith(result, Tool::fusermount);
    }
    endDaemonServing(mountPoint);
}

void DiskImageTool::endDaemonServing(const std::filesystem::path& mountPoint) const {
    // The daemon runs as "gocryptfs -fg … -- CIPHERDIR MOUNTPOINT": its last argument names the
    // mount point it serves.
    const std::string wanted = standardised(mountPoint);
    std::vector<pid_t> daemons;
    const std::unique_ptr<DIR, int (*)(DIR*)> proc(
        ::opendir("/proc"), [](DIR* directory) { return ::closedir(directory); });
    if (!proc) {
        return;
    }
    while (const dirent* entry = ::readdir(proc.get())) {
        const std::string pid = entry->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        struct stat owner {};
        if (::stat(("/proc/" + pid).c_str(), &owner) != 0 || owner.st_uid != ::getuid()) {
            continue;
        }
        const std::vector<std::string> arguments = commandLineOf(pid);
        if (arguments.size() >= 3 &&
            std::filesystem::path(arguments.front()).filename() == "gocryptfs" &&
            arguments[arguments.size() - 3] == "--" && standardised(arguments.back()) == wanted) {
            daemons.push_back(static_cast<pid_t>(std::stol(pid)));
        }
    }
    for (const pid_t daemon : daemons) {
        ::kill(daemon, SIGTERM);
    }
    const auto deadline = std::chrono::steady_clock::now() + daemonExitWait;
    for (const pid_t daemon : daemons) {
        while (!hasExited(daemon) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(ProcessRunner::pollInterval);
        }
        if (!hasExited(daemon)) {
            ::kill(daemon, SIGKILL);
        }
    }
}

void DiskImageTool::removeUnfinishedKeyFile(const std::filesystem::path& image) {
    // gocryptfs writes the new key file beside the key file and renames it over the key file
    // only once it is whole: a leftover is never read by anything and never the only key. It
    // goes only while the key file is a file in place, and only if it is a file itself (the
    // bundle is opened without following a link; nothing else in it is touched).
    const UniqueFd bundle(::open(image.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!bundle) {
        return;  // the run below says what is wrong with the bundle
    }
    struct stat key {};
    struct stat leftover {};
    if (::fstatat(bundle.get(), "gocryptfs.conf", &key, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(key.st_mode) || key.st_size == 0 ||
        ::fstatat(bundle.get(), "gocryptfs.conf.tmp", &leftover, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(leftover.st_mode)) {
        return;
    }
    if (::unlinkat(bundle.get(), "gocryptfs.conf.tmp", 0) == 0) {
        logMessage(LogLevel::info, {"Removed a key file an interrupted password change left in ",
                                    image.filename()});
    } else {
        logMessage(LogLevel::warning, {"Could not remove the unfinished key file in ",
                                       image.filename(), ": ", std::strerror(errno)});
    }
}

void DiskImageTool::changePassword(const std::filesystem::path& image,
                                   const std::string& oldPassword,
                                   const std::string& newPassword) const {
    if (!canTravelOnStandardInput(oldPassword) || !canTravelOnStandardInput(newPassword)) {
        throw TesselaError::diskImage("The password cannot contain a line break.");
    }
    std::vector<std::string> arguments = {"-passwd", "-q", "-nosyslog"};
    if (scryptCost_) {
        arguments.insert(arguments.end(), {"-scryptn", std::to_string(*scryptCost_)});
    }
    arguments.insert(arguments.end(), {"--", image.string()});
    removeUnfinishedKeyFile(image);
    const ProcessResult result =
        ProcessRunner::run(tools_.gocryptfs, arguments, oldPassword + "\n" + newPassword + "\n");
    if (result.status != 0 || result.signalled) {
        failWith(result, Tool::gocryptfs);
    }
    // Some gocryptfs versions keep the previous key file, still opened by the old password.
    const std::filesystem::path backup = image / "gocryptfs.conf.bak";
    if (::unlink(backup.c_str()) != 0 && errno != ENOENT) {
        throwLastError("unlink", backup);
    }
}

std::vector<AttachedImage> DiskImageTool::attachedImages() const {
    std::optional<std::string> mountInfo;
    try {
        mountInfo = posix::readFileIfExists("/proc/self/mountinfo");
    } catch (const std::system_error&) {
        logCaught(LogLevel::warning, {"Could not read the system's list of mounts"});
    }
    if (!mountInfo) {
        throw TesselaError::diskImage(std::string(listingFailure));
    }
    return parseMountInfo(*mountInfo);
}

std::vector<AttachedImage> DiskImageTool::parseMountInfo(std::string_view mountInfo) {
    std::vector<AttachedImage> images;
    for (const MountEntry& mount : MountTable::parse(mountInfo)) {
        if (mount.fileSystemType != "fuse.gocryptfs") {
            continue;
        }
        std::error_code error;
        std::filesystem::path imagePath = std::filesystem::weakly_canonical(mount.source, error);
        if (error) {
            imagePath = std::filesystem::path(mount.source).lexically_normal();
        }
        images.push_back(
            {withoutTrailingSlashes(imagePath.string()), std::filesystem::path(mount.mountPoint)});
    }
    return images;
}

std::string DiskImageTool::clean(std::string_view output) {
    return oneLineOfOutput(output, {"hdiutil: ", "gocryptfs: ", "fusermount3: ", "fusermount: "});
}

std::int64_t DiskImageTool::volumeRootOverhead() {
    // Its name-key file, the marker and the indexer stop file.
    return 4 * blockSize;
}

std::int64_t DiskImageTool::entryOverhead(mode_t mode, std::int64_t size) {
    if (S_ISDIR(mode)) {
        return 2 * blockSize;
    }
    if (S_ISREG(mode)) {
        const std::int64_t blocks = (size + blockSize - 1) / blockSize;
        return fileHeaderBytes + blocks * blockOverheadBytes + blockSize;
    }
    return blockSize;
}

std::int64_t DiskImageTool::containerOverhead(const std::filesystem::path& content) {
    std::int64_t overhead = volumeRootOverhead();
    struct stat info {};
    if (::lstat(content.c_str(), &info) != 0) {
        return overhead;
    }
    if (!S_ISDIR(info.st_mode)) {
        return overhead + entryOverhead(S_IFREG, info.st_size);
    }
    try {
        FileWalk::walk(content, [&](const FileWalk::Entry& entry) {
            overhead +=
                entryOverhead(entry.isDirectory ? S_IFDIR : entry.info.st_mode, entry.info.st_size);
            return FileWalk::Next::descend;
        });
    } catch (const FileWalk::WalkError& error) {
        logMessage(LogLevel::info, {"Could not look through all of ", content,
                                    ", so the room it needs is estimated from what was seen: ",
                                    error.path(), ": ", std::strerror(error.code())});
    }
    return overhead;
}

}  // namespace tessela
