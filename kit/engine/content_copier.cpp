#include "engine/content_copier.h"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>

#include "activity/parallel_work.h"
#include "errors/tessela_error.h"
#include "files/file_walk.h"
#include "files/item_facts.h"
#include "posix/system_error.h"
#include "process/process_runner.h"
#include "text/tool_output.h"

namespace tessela {

void ContentCopier::runCopyTool(const std::vector<std::filesystem::path>& sources,
                                const Folder& into, const std::string& destination,
                                const CancelToken* cancel) const {
    std::vector<std::string> arguments = {"-a", "--reflink=auto", "--"};
    for (const std::filesystem::path& source : sources) {
        arguments.push_back(source.string());
    }
    arguments.push_back(destination);
    const ProcessResult result =
        ProcessRunner::run(copyTool_, arguments, std::nullopt, std::nullopt, cancel, into.fd());
    if (result.status != 0 || result.signalled) {
        // cp names itself as it was started ("/usr/bin/cp: cannot open …"): that prefix is
        // the tool's, not the message's.
        const std::string toolPrefix = copyTool_ + ": ";
        const std::string message = oneLineOfOutput(result.output, {toolPrefix, "cp: "});
        throw TesselaError::copyFailed(message.empty() ? "The copy tool failed." : message);
    }
}

void ContentCopier::copy(const std::filesystem::path& from, const std::filesystem::path& to,
                         const CancelToken* cancel) const {
    struct stat source {};
    struct stat destination {};
    const bool intoFolder = ::lstat(from.c_str(), &source) == 0 && S_ISDIR(source.st_mode) &&
                            ::stat(to.c_str(), &destination) == 0 && S_ISDIR(destination.st_mode);
    if (intoFolder) {
        copyInto(from, Folder::open(to), "", {}, cancel);
    } else {
        copyInto(from, Folder::open(to.parent_path()), to.filename().string(), {}, cancel);
    }
}

void ContentCopier::copyInto(const std::filesystem::path& from, const Folder& into,
                             const std::string& name, const std::set<std::string>& skipping,
                             const CancelToken* cancel, std::optional<mode_t> rootMode) const {
    struct stat source {};
    if (::lstat(from.c_str(), &source) != 0) {
        throwLastError("lstat", from);
    }
    if (!S_ISDIR(source.st_mode)) {
        runCopyTool({from}, into, name, cancel);
        return;
    }
    // cp -a makes each folder with its final mode before filling it; in a FUSE volume a
    // read-only folder then refuses its own content. So every folder is made first, writable
    // by its owner, and cp fills it and gives it its own mode once it is full.
    std::vector<std::filesystem::path> entries;
    std::vector<std::string> folders;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(from, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string entryName = entry->path().filename().string();
        if (!skipping.contains(entryName)) {
            entries.push_back(entry->path());
        }
    }
    if (error) {
        throw systemError(error.value(), "list", from);
    }
    for (const std::filesystem::path& entry : entries) {
        struct stat info {};
        if (::lstat(entry.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            const std::string top = entry.filename().string();
            folders.push_back(top);
            try {
                FileWalk::walk(entry, [&](const FileWalk::Entry& walked) {
                    if (walked.isDirectory) {
                        folders.push_back(top + "/" + walked.relativePath);
                    }
                    return FileWalk::Next::descend;
                });
            } catch (const FileWalk::WalkError&) {
                // cp reports what it cannot read.
            }
        }
    }
    const std::filesystem::path base = into.descriptorPath();
    for (const std::string& folder : folders) {
        if (::mkdir((base / folder).c_str(), 0700) != 0 && errno != EEXIST) {
            throwLastError("mkdir", into.path() / folder);
        }
    }
    copyEntries(entries, into, cancel);
    copyFolderAttributes(from, into, rootMode);
}

void ContentCopier::copyEntries(const std::vector<std::filesystem::path>& sources,
                                const Folder& into, const CancelToken* cancel) const {
    // Each file created in the container costs several round trips through FUSE, so several
    // copy processes work side by side, the largest entries first.
    std::vector<std::pair<std::int64_t, std::filesystem::path>> entries;
    for (const std::filesystem::path& source : sources) {
        entries.emplace_back(ItemFacts::logicalSize(source), source);
    }
    std::sort(entries.begin(), entries.end(), std::greater<>());
    const std::size_t batchCount =
        std::min<std::size_t>(entries.size(), std::size_t{4} * copyStreams);
    std::vector<std::vector<std::filesystem::path>> batches(batchCount);
    std::vector<std::int64_t> batchSizes(batchCount, 0);
    for (const auto& [size, path] : entries) {
        const auto smallest = static_cast<std::size_t>(
            std::min_element(batchSizes.begin(), batchSizes.end()) - batchSizes.begin());
        batches[smallest].push_back(path);
        batchSizes[smallest] += size + 1;
    }

    forEachInParallel(batches.size(), copyStreams,
                      [&](std::size_t batch) { runCopyTool(batches[batch], into, ".", cancel); });
}

void ContentCopier::copyFolderAttributes(const std::filesystem::path& from, const Folder& to,
                                         std::optional<mode_t> mode) const {
    struct stat source {};
    if (::lstat(from.c_str(), &source) != 0) {
        throwLastError("lstat", from);
    }
    // Extended attributes first: some file systems refuse some of them, which a full copy
    // tolerates just as cp -a does.
    const ssize_t listSize = ::llistxattr(from.c_str(), nullptr, 0);
    if (listSize > 0) {
        std::string names(static_cast<std::size_t>(listSize), '\0');
        const ssize_t length = ::llistxattr(from.c_str(), names.data(), names.size());
        for (std::size_t start = 0; length > 0 && start < static_cast<std::size_t>(length);) {
            const std::string name = names.c_str() + start;
            start += name.size() + 1;
            const ssize_t valueSize = ::lgetxattr(from.c_str(), name.c_str(), nullptr, 0);
            if (valueSize < 0) {
                continue;
            }
            std::string value(static_cast<std::size_t>(valueSize), '\0');
            if (::lgetxattr(from.c_str(), name.c_str(), value.data(), value.size()) == valueSize) {
                ::fsetxattr(to.fd(), name.c_str(), value.data(), value.size(), 0);
            }
        }
    }
    // The owner as cp -a keeps it: root gives the folder back to its owner; anyone else keeps
    // at least the group where they belong to it. Before the mode, which a change of owner can
    // clear bits of.
    if (::fchown(to.fd(), source.st_uid, source.st_gid) != 0) {
        [[maybe_unused]] const int ignored =
            ::fchown(to.fd(), static_cast<uid_t>(-1), source.st_gid);
    }
    fileSystem_->changeMode(to, mode.value_or(source.st_mode & 07777));
    const struct timespec times[2] = {source.st_atim, source.st_mtim};
    if (::futimens(to.fd(), times) != 0) {
        throwLastError("utimensat", to.path());
    }
}

}  // namespace tessela
