#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "activity/cancel_token.h"
#include "errors/tree_mismatch.h"

namespace tessela {

// Compares an item with its copy by building a manifest of each side (type, size and SHA-256 of
// every file, link targets, other types) and listing every difference. Verification reports;
// it never repairs.
//
// The two manifests are built at the same time, the copy's on a second thread, and each side
// hashes `hashStreams` files at once, so the lock pays for reading the slower of the two trees
// rather than both in a row. Errors keep the order of a
// sequential build: a failure on the source side wins over one on the copy side, and either
// side's failure stops the other at its next entry. Memory grows with the number of entries,
// never with their sizes: content is hashed in one streaming pass in 1 MiB reads.
class TreeVerifier {
  public:
    static constexpr std::size_t readSize = 1024 * 1024;
    // Files of one side hashed at the same time; twice as many when only the copy is read.
    static constexpr int hashStreams = 2;

    struct File {
        std::int64_t size = 0;
        // SHA-256, 64 lower-case hexadecimal digits; empty when the content is not known (a
        // file that changed while it was copied), which matches no digest.
        std::string digest;
        friend bool operator==(const File&, const File&) = default;
    };
    struct Symlink {
        std::string target;  // unresolved
        friend bool operator==(const Symlink&, const Symlink&) = default;
    };
    struct Other {
        std::string typeName;  // "socket", "fifo", …; "unknown" without a type
        friend bool operator==(const Other&, const Other&) = default;
    };
    struct Directory {
        friend bool operator==(const Directory&, const Directory&) = default;
    };
    using Entry = std::variant<File, Symlink, Other, Directory>;
    // Relative path → entry; the empty path is the root when the root is not a directory.
    using Manifest = std::map<std::string, Entry>;

    // Every difference between `source` and `copy`, in ascending path order; empty when they
    // agree. Names in `ignoringAtRoot` are skipped on both sides, at the first level only.
    // Throws TesselaError::cancelled(), TesselaError::copyFailed("Could not read …") for
    // unreadable content, or std::system_error.
    [[nodiscard]] static std::vector<TreeMismatch> compare(
        const std::filesystem::path& source, const std::filesystem::path& copy,
        const std::set<std::string>& ignoringAtRoot, const CancelToken* cancel = nullptr);

    // The same against a manifest of the source taken while it was copied (ContentCopier):
    // only the copy is read. Names in `ignoringAtRoot` are left out of both.
    [[nodiscard]] static std::vector<TreeMismatch> compare(
        const Manifest& source, const std::filesystem::path& copy,
        const std::set<std::string>& ignoringAtRoot, const CancelToken* cancel = nullptr);

    // The user's extended attributes ("user." names, content as the copier keeps them) of the
    // entries of `manifest` that have any at `source`, against the same entries at `copy`: a
    // "content differs" for each entry where they differ, in ascending path order. Only entries
    // with attributes at the source are read at the copy, so a tree without any costs one
    // listing per source entry.
    [[nodiscard]] static std::vector<TreeMismatch> compareUserAttributes(
        const std::filesystem::path& source, const std::filesystem::path& copy,
        const Manifest& manifest, const CancelToken* cancel = nullptr);

    // The differences between `manifest` and the tree at `copy` in all but the files' content:
    // entries, their types, file sizes and link targets. No file's content is read.
    [[nodiscard]] static std::vector<TreeMismatch> compareShape(
        const Manifest& manifest, const std::filesystem::path& copy,
        const std::set<std::string>& ignoringAtRoot, const CancelToken* cancel = nullptr);

    [[nodiscard]] static Manifest manifest(const std::filesystem::path& root,
                                           const std::set<std::string>& ignoringAtRoot,
                                           const CancelToken* cancel = nullptr);
    [[nodiscard]] static Entry entry(const std::filesystem::path& location,
                                     const CancelToken* cancel);
    [[nodiscard]] static std::string digest(const std::filesystem::path& file,
                                            const CancelToken* cancel = nullptr);

  private:
    // The entry of a location, with a file's digest left empty.
    [[nodiscard]] static Entry entryWithoutDigest(const std::filesystem::path& location);
    // Fills in the digests, `hashStreams` files at a time; stops at the first failure.
    static void hashFiles(const std::vector<std::pair<File*, std::filesystem::path>>& files,
                          int streams, const CancelToken* cancel, const std::atomic<bool>* stop);
    // Every difference between two manifests, in ascending path order; the source's entries
    // under a name in `ignoringAtRoot` are left out.
    [[nodiscard]] static std::vector<TreeMismatch> differences(
        const Manifest& source, const Manifest& copy, const std::set<std::string>& ignoringAtRoot);
    // `stop`, when given and set, ends the build at the next entry (the other side failed).
    // With no `streams`, no file is read: the digests stay empty.
    [[nodiscard]] static Manifest buildManifest(const std::filesystem::path& root,
                                                const std::set<std::string>& ignoringAtRoot,
                                                const CancelToken* cancel,
                                                const std::atomic<bool>* stop,
                                                int streams = hashStreams);
};

}  // namespace tessela
