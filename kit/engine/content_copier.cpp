#include "engine/content_copier.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "activity/parallel_work.h"
#include "container/container_keys.h"
#include "errors/tessela_error.h"
#include "files/file_type.h"
#include "files/sha256.h"
#include "posix/unique_fd.h"
#include "text/log.h"
#include "text/utf8.h"

namespace tessela {

namespace {

using Clock = std::chrono::steady_clock;

std::string reasonOf(int code) {
    return std::generic_category().message(code);
}

// "deep/a.txt could not be written (No space left on device)."
TesselaError failure(const std::string& shown, const char* what, int code) {
    return TesselaError::copyFailed(shown + " could not be " + what + " (" + reasonOf(code) + ").");
}

TesselaError changed(const std::string& shown) {
    return TesselaError::copyFailed(shown + " changed while it was copied.");
}

long openat2(int root, const char* relative, open_how* how) {
    return ::syscall(SYS_openat2, root, relative, how, sizeof *how);
}

// Whether this kernel (and any sandbox around it) lets us use openat2.
bool haveOpenat2() {
    static const bool available = [] {
        open_how how{};
        how.flags = O_PATH | O_CLOEXEC;
        how.resolve = RESOLVE_NO_SYMLINKS;
        const long fd = openat2(AT_FDCWD, ".", &how);
        if (fd >= 0) {
            ::close(static_cast<int>(fd));
            return true;
        }
        return false;
    }();
    return available;
}

// Opens `relative` beneath the folder `root` without following a link on the way: a folder
// swapped for a link meanwhile fails the open instead of leading elsewhere. Without openat2
// (old kernels, some sandboxes) it goes one component at a time, none of them followed.
int openBeneath(int root, const std::string& relative, int flags, mode_t mode = 0) {
    // A path longer than the system takes at once (a container's sealed names are longer than
    // the names they stand for) is opened a piece at a time, each piece beneath the last.
    constexpr std::size_t piece = 2048;
    if (const std::size_t slash = relative.rfind('/', piece);
        relative.size() > piece && slash != std::string::npos && slash > 0) {
        const UniqueFd folder(openBeneath(root, relative.substr(0, slash), O_PATH | O_DIRECTORY));
        return folder ? openBeneath(folder.get(), relative.substr(slash + 1), flags, mode) : -1;
    }
    if (!haveOpenat2()) {
        UniqueFd folder;
        std::size_t start = 0;
        for (std::size_t slash = relative.find('/'); slash != std::string::npos;
             start = slash + 1, slash = relative.find('/', start)) {
            const std::string component = relative.substr(start, slash - start);
            folder.reset(::openat(folder ? folder.get() : root, component.c_str(),
                                  O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!folder) {
                return -1;
            }
        }
        return ::openat(folder ? folder.get() : root, relative.c_str() + start,
                        flags | O_CLOEXEC | O_NOFOLLOW, mode);
    }
    open_how how{};
    how.flags = static_cast<__u64>(static_cast<unsigned>(flags | O_CLOEXEC));
    how.mode = (flags & O_CREAT) != 0 ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    for (int attempt = 0;; ++attempt) {
        const long fd = openat2(root, relative.c_str(), &how);
        if (fd >= 0) {
            return static_cast<int>(fd);
        }
        if ((errno != EINTR && errno != EAGAIN) || attempt == 10) {
            return -1;
        }
    }
}

bool sameEntry(const struct stat& first, const struct stat& second) {
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

bool sameStatus(const struct stat& first, const struct stat& second) {
    const auto same = [](const timespec& one, const timespec& other) {
        return one.tv_sec == other.tv_sec && one.tv_nsec == other.tv_nsec;
    };
    return sameEntry(first, second) && first.st_size == second.st_size &&
           same(first.st_mtim, second.st_mtim) && same(first.st_ctim, second.st_ctim);
}

bool allZero(const char* bytes, std::size_t size) {
    return size == 0 || (bytes[0] == 0 && std::memcmp(bytes, bytes + 1, size - 1) == 0);
}

// A name within the folder that holds it, that folder held open.
struct Place {
    UniqueFd held;
    int folder = -1;
    std::string name;
    // The same entry as a path for the l…xattr calls, which have no descriptor form; the
    // folder's descriptor stands for the folder, and the last component is never followed.
    [[nodiscard]] std::string path() const {
        return "/proc/self/fd/" + std::to_string(folder) + "/" + name;
    }
};

Place placeOf(int root, const std::string& relative, const std::string& shown) {
    const std::size_t slash = relative.rfind('/');
    if (slash == std::string::npos) {
        return {UniqueFd(), root, relative};
    }
    UniqueFd folder(openBeneath(root, relative.substr(0, slash), O_PATH | O_DIRECTORY));
    if (!folder) {
        throw failure(shown, "reached", errno);
    }
    const int fd = folder.get();
    return {std::move(folder), fd, relative.substr(slash + 1)};
}

// Either an open descriptor or a path whose last component is not followed.
struct AttributeHolder {
    int fd = -1;
    std::string path;
};

ssize_t listAttributes(const AttributeHolder& holder, char* names, std::size_t size) {
    return holder.fd >= 0 ? ::flistxattr(holder.fd, names, size)
                          : ::llistxattr(holder.path.c_str(), names, size);
}

ssize_t readAttribute(const AttributeHolder& holder, const char* name, void* value,
                      std::size_t size) {
    return holder.fd >= 0 ? ::fgetxattr(holder.fd, name, value, size)
                          : ::lgetxattr(holder.path.c_str(), name, value, size);
}

int writeAttribute(const AttributeHolder& holder, const char* name, const std::string& value) {
    return holder.fd >= 0 ? ::fsetxattr(holder.fd, name, value.data(), value.size(), 0)
                          : ::lsetxattr(holder.path.c_str(), name, value.data(), value.size(), 0);
}

void removeAttribute(const AttributeHolder& holder, const char* name) {
    (void)(holder.fd >= 0 ? ::fremovexattr(holder.fd, name)
                          : ::lremovexattr(holder.path.c_str(), name));
}

// The user's own attributes are content: losing one fails the copy, unless the destination
// keeps none at all. An ACL is kept or the copy fails: without it the mode's group bits (its
// mask) would open the copy to the whole group. The system's other attributes (security.,
// trusted.) are kept where this user may write them and the destination takes them, and
// otherwise left out, as cp -a leaves them.
bool mustKeep(const std::string& name, int error) {
    if (name.starts_with("system.posix_acl_")) {
        return true;
    }
    return name.starts_with("user.") && error != ENOTSUP && error != EOPNOTSUPP;
}

// Reads every attribute of `from` (growing buffers while they grow under us).
std::vector<std::pair<std::string, std::string>> attributesOf(const AttributeHolder& from,
                                                              const std::string& shown) {
    std::string names;
    for (int attempt = 0;; ++attempt) {
        const ssize_t size = listAttributes(from, nullptr, 0);
        if (size == 0 || (size < 0 && (errno == ENOTSUP || errno == EOPNOTSUPP))) {
            return {};  // none, or a file system without them
        }
        if (size < 0) {
            throw failure(shown, "read", errno);
        }
        names.resize(static_cast<std::size_t>(size));
        const ssize_t length = listAttributes(from, names.data(), names.size());
        if (length >= 0) {
            names.resize(static_cast<std::size_t>(length));
            break;
        }
        if (errno != ERANGE || attempt == 8) {
            throw failure(shown, "read", errno);
        }
    }
    std::vector<std::pair<std::string, std::string>> attributes;
    for (std::size_t start = 0; start < names.size();) {
        std::string name = names.c_str() + start;
        start += name.size() + 1;
        std::string value;
        for (int attempt = 0;; ++attempt) {
            const ssize_t size = readAttribute(from, name.c_str(), nullptr, 0);
            ssize_t length = -1;
            if (size >= 0) {
                value.resize(static_cast<std::size_t>(size));
                length = readAttribute(from, name.c_str(), value.data(), value.size());
            }
            if (length >= 0) {
                value.resize(static_cast<std::size_t>(length));
                attributes.emplace_back(std::move(name), std::move(value));
                break;
            }
            if (errno == ENODATA) {
                break;  // removed meanwhile
            }
            if (errno != ERANGE || attempt == 8) {
                if (mustKeep(name, errno)) {
                    throw failure(shown, "read", errno);
                }
                break;
            }
        }
    }
    return attributes;
}

// Into a container (`keys` given): the user's attributes sealed, as its mount stores them; the
// mount takes no other.
// Out of a container (`opening` given): the user's attributes opened, as its mount shows them,
// and no other (the mount shows none); one that does not open fails the copy.
std::vector<std::pair<std::string, std::string>> openedAttributes(
    std::vector<std::pair<std::string, std::string>> sealed, const ContainerKeys& opening,
    const std::string& shown) {
    std::vector<std::pair<std::string, std::string>> opened;
    for (auto& [name, value] : sealed) {
        if (!name.starts_with(container::attributePrefix)) {
            continue;
        }
        std::optional<std::string> plainName = opening.openAttributeName(name);
        std::optional<std::string> plainValue = opening.openValue(value);
        // Only the user's own attributes are ever sealed: another name (an ACL, a capability)
        // was put there by someone else, and is never given to the copy.
        if (!plainName || !plainName->starts_with("user.") || !plainValue) {
            throw failure(shown, "read", EIO);
        }
        opened.emplace_back(std::move(*plainName), std::move(*plainValue));
    }
    return opened;
}

void copyExtendedAttributes(const AttributeHolder& from, const AttributeHolder& to,
                            const std::string& shown, const ContainerKeys* keys = nullptr,
                            const ContainerKeys* opening = nullptr) {
    const std::vector<std::pair<std::string, std::string>> attributes =
        opening != nullptr ? openedAttributes(attributesOf(from, shown), *opening, shown)
                           : attributesOf(from, shown);
    for (const auto& [name, value] : attributes) {
        int written = 0;
        if (keys == nullptr) {
            written = writeAttribute(to, name.c_str(), value);
        } else if (name.starts_with("user.")) {
            written =
                writeAttribute(to, keys->sealAttributeName(name).c_str(), keys->sealValue(value));
        } else {
            written = -1;
            errno = EOPNOTSUPP;
        }
        if (written != 0 && mustKeep(name, errno)) {
            throw failure(shown, "given its extended attributes", errno);
        }
    }
    // A copy made in a folder with a default ACL inherits that ACL; the source's own (none)
    // is what the copy keeps, or another user could read what the source kept from them.
    for (const char* acl : {"system.posix_acl_access", "system.posix_acl_default"}) {
        if (std::none_of(attributes.begin(), attributes.end(),
                         [&](const auto& attribute) { return attribute.first == acl; })) {
            removeAttribute(to, acl);
        }
    }
}

// Owner and group as cp -a keeps them: both where permitted; otherwise the group alone where
// the user belongs to it. Returns the mode bits that may be kept: without the ownership they
// came with, set-id and sticky bits are dropped.
mode_t keepOwner(const struct stat& source, int fd, int folder, const std::string& name) {
    const auto change = [&](uid_t owner, gid_t group) {
        return fd >= 0 ? ::fchown(fd, owner, group)
                       : ::fchownat(folder, name.c_str(), owner, group, AT_SYMLINK_NOFOLLOW);
    };
    if (change(source.st_uid, source.st_gid) == 0) {
        return source.st_mode & 07777;
    }
    (void)change(static_cast<uid_t>(-1), source.st_gid);
    return source.st_mode & 0777;
}

void keepTimes(const struct stat& source, int fd, int folder, const std::string& name,
               const std::string& shown) {
    const struct timespec times[2] = {source.st_atim, source.st_mtim};
    const int result = fd >= 0 ? ::futimens(fd, times)
                               : ::utimensat(folder, name.c_str(), times, AT_SYMLINK_NOFOLLOW);
    if (result != 0) {
        throw failure(shown, "given its times", errno);
    }
}

// One entry to copy.
// What is kept per entry is what memory grows with: the destination and the name shown in
// messages are worked out from the source's path when needed.
struct Job {
    std::string source;  // beneath the source root; the manifest key too, for a folder's entries
    // Into or out of a container: the entry's path in the container's own folder, names
    // sealed; else empty.
    std::string sealed;
    struct stat info {};  // as walked
    off_t size = 0;       // a regular file's content size (out of a container, not its own)
    TreeVerifier::File* manifestFile = nullptr;  // a regular file's entry, digest to fill
    std::size_t blocks = 1;                      // a regular file's blocks; one task otherwise
};

// A file copied in several blocks by several threads: opened by its first block's thread,
// hashed in block order, finished by the thread that hashes the last block.
struct FileInFlight {
    std::mutex lock;
    std::condition_variable turn;
    UniqueFd source;
    UniqueFd destination;
    container::FileId id{};  // into a container: the copy's file ID
    Sha256 hash;
    std::size_t hashed = 0;
    bool opened = false;
    bool changed = false;
    bool abandoned = false;  // a block failed: the others stop quietly
};

// Flushes the file system the copy lands on from a thread of its own, each time enough has
// been written since the last flush. A copy that ends does not wait for a flush under way: the
// thread owns what it uses and finishes on its own.
class WriteBack {
  public:
    static constexpr std::int64_t threshold = 32 * 1024 * 1024;

    explicit WriteBack(const std::optional<std::filesystem::path>& folder)
        : shared_(std::make_shared<Shared>()) {
        if (!folder) {
            return;
        }
        shared_->fd.reset(::open(folder->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (shared_->fd) {
            try {
                std::thread([shared = shared_] { run(*shared); }).detach();
            } catch (const std::system_error&) {
                // No thread: the final flush does all the work.
                logCaught(LogLevel::info,
                          {"Could not start writing back ", *folder, " while copying into it"});
            }
        }
    }
    ~WriteBack() {
        {
            const std::lock_guard guard(shared_->lock);
            shared_->stopping = true;
        }
        shared_->wake.notify_all();
    }
    WriteBack(const WriteBack&) = delete;
    WriteBack& operator=(const WriteBack&) = delete;

    void wrote(std::int64_t bytes) { shared_->written += bytes; }

  private:
    struct Shared {
        UniqueFd fd;
        std::atomic<std::int64_t> written{0};
        std::mutex lock;
        std::condition_variable wake;
        bool stopping = false;
    };

    static void run(Shared& shared) {
        std::int64_t flushed = 0;
        std::unique_lock guard(shared.lock);
        while (!shared.stopping) {
            shared.wake.wait_for(guard, std::chrono::milliseconds(250));
            const std::int64_t now = shared.written.load();
            if (!shared.stopping && now - flushed >= threshold) {
                flushed = now;
                guard.unlock();
                (void)::syncfs(shared.fd.get());
                guard.lock();
            }
        }
    }

    std::shared_ptr<Shared> shared_;
};

// Block buffers, one per thread at work, reused from file to file.
class BufferPool {
  public:
    struct Lease {
        explicit Lease(BufferPool& from) : pool(from), bytes(from.take()) {}
        ~Lease() { pool.give(bytes); }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        BufferPool& pool;
        char* bytes;
    };

  private:
    char* take() {
        const std::lock_guard guard(lock_);
        if (free_.empty()) {
            owned_.push_back(std::make_unique<char[]>(ContentCopier::blockSize));
            return owned_.back().get();
        }
        char* buffer = free_.back();
        free_.pop_back();
        return buffer;
    }
    void give(char* buffer) {
        const std::lock_guard guard(lock_);
        free_.push_back(buffer);
    }

    std::mutex lock_;
    std::vector<std::unique_ptr<char[]>> owned_;
    std::vector<char*> free_;
};

// One copy: the walk's jobs, then the parallel work, then what must come after it.
class Copy {
  public:
    Copy(const std::filesystem::path& from, const Folder& into, const std::string& name,
         const ContentCopier::Options& options)
        : from_(from),
          into_(into),
          name_(name),
          options_(options),
          keys_(options.container),
          opening_(options.sourceContainer),
          writeBack_(options.writeBackTo) {}

    TreeVerifier::Manifest run(FileSystem& fileSystem) {
        fileSystem_ = &fileSystem;
        // The source is reached once, through its folder; everything after works beneath
        // what was opened then.
        const std::string name = from_.filename().string();
        const std::string shownName = repairUtf8(name);
        UniqueFd parent(::open(from_.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        struct stat root {};
        if (!parent || ::fstatat(parent.get(), name.c_str(), &root, AT_SYMLINK_NOFOLLOW) != 0) {
            throw failure(shownName, "read", errno);
        }
        if (options_.sourceIdentity &&
            *options_.sourceIdentity != Folder::Identity{root.st_dev, root.st_ino}) {
            throw changed(shownName);
        }
        if (keys_ != nullptr) {
            sealedFolders_.emplace("", SealedFolder{"", rootIv(shownName)});
        }
        if (!S_ISDIR(root.st_mode)) {
            single_ = true;
            sourceRoot_ = std::move(parent);
            add(name, root, name);
            copyAll();
            return std::move(manifest_);
        }
        sourceRoot_.reset(
            ::openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat opened {};
        if (!sourceRoot_ || ::fstat(sourceRoot_.get(), &opened) != 0) {
            throw failure(shownName, "read", errno);
        }
        if (!sameEntry(opened, root)) {
            throw changed(shownName);
        }
        walk(root, shownName);
        copyAll();
        finishFolders();
        const mode_t mode = keepOwner(root, into_.fd(), -1, "");
        copyExtendedAttributes({sourceRoot_.get(), {}}, {into_.fd(), {}}, shownName, keys_,
                               opening_);
        fileSystem.changeMode(into_, options_.rootMode.value_or(mode));
        keepTimes(root, into_.fd(), -1, "", shownName);
        return std::move(manifest_);
    }

  private:
    // A single item (not a folder) is copied to `name_` and keyed "" in the manifest; a folder's
    // entries keep their relative paths.
    [[nodiscard]] std::string keyOf(const Job& job) const { return single_ ? "" : job.source; }
    [[nodiscard]] const std::string& plainDestinationOf(const Job& job) const {
        return single_ ? name_ : job.source;
    }
    // Where the copy of `job` is beneath the destination: into a container, its sealed path.
    [[nodiscard]] const std::string& destinationOf(const Job& job) const {
        return keys_ != nullptr ? job.sealed : plainDestinationOf(job);
    }
    [[nodiscard]] std::string shownOf(const Job& job) const {
        return repairUtf8(plainDestinationOf(job));
    }
    // Where `job`'s entry is beneath the source root: out of a container, its sealed path.
    [[nodiscard]] const std::string& sourceOf(const Job& job) const {
        return opening_ != nullptr ? job.sealed : job.source;
    }

    // Into a container: a folder's path there and the tweak of the names in it.
    struct SealedFolder {
        std::string path;
        container::DirIv iv;
    };

    container::DirIv rootIv(const std::string& shown) const {
        try {
            return container::dirIvOf(into_);
        } catch (const std::system_error& error) {
            throw failure(shown, "written", error.code().value());
        }
    }

    // Creates the small file `relative` beneath the destination holding `bytes`, readable by
    // all as the container's own files are.
    void writeSmallFile(const Job& job, const std::string& relative,
                        std::span<const unsigned char> bytes) {
        const Place place = placeOf(into_.fd(), relative, shownOf(job));
        const std::filesystem::path path = into_.path() / relative;
        try {
            const UniqueFd file =
                fileSystem_->createFileAt(FileSystem::Entry{place.folder, place.name, path}, 0400);
            if (::write(file.get(), bytes.data(), bytes.size()) !=
                    static_cast<ssize_t>(bytes.size()) ||
                ::fchmod(file.get(), 0444) != 0) {
                throw failure(shownOf(job), "written", errno == 0 ? EIO : errno);
            }
        } catch (const std::system_error& error) {
            throw failure(shownOf(job), "created", error.code().value());
        }
    }

    // The sealed path of `job`'s copy: its name sealed under its folder's tweak, and a name
    // too long for the file system shortened, with the full name in a file beside it.
    std::string sealedPathOf(const Job& job) {
        const std::string& plain = plainDestinationOf(job);
        const std::size_t slash = plain.rfind('/');
        const SealedFolder& folder =
            sealedFolders_.at(slash == std::string::npos ? "" : plain.substr(0, slash));
        std::string stored = keys_->sealName(
            slash == std::string::npos ? plain : plain.substr(slash + 1), folder.iv);
        const std::string prefix = folder.path.empty() ? "" : folder.path + "/";
        if (stored.size() > container::longNameLimit) {
            const std::string shortName = ContainerKeys::longName(stored);
            writeSmallFile(job, prefix + shortName + std::string(container::longNameSuffix),
                           {reinterpret_cast<const unsigned char*>(stored.data()), stored.size()});
            stored = shortName;
        }
        return prefix + stored;
    }

    // Makes the entry of the copy that `job` stands for, at `place`, through the file-system
    // seam: `step` takes the seam's description of it. A failure is the copy's own sentence.
    template <typename Step>
    void make(const Job& job, const Place& place, Step step) const {
        const std::filesystem::path path = into_.path() / destinationOf(job);
        try {
            step(FileSystem::Entry{place.folder, place.name, path});
        } catch (const std::system_error& error) {
            throw failure(shownOf(job), "created", error.code().value());
        }
    }

    void check() const {
        if (options_.cancel != nullptr) {
            options_.cancel->check();
        }
    }

    // Walks the source, breadth first, one folder open at a time (however deep the tree): each
    // folder is opened beneath the root without following a link on the way and checked to be
    // the folder its parent's listing showed, so a folder swapped for a link is never walked.
    void walk(const struct stat& root, const std::string& shownName) {
        struct Pending {
            std::string relative;  // its path in the source as the copy names it
            std::string stored;    // out of a container: its path there
            struct stat seen;
        };
        std::deque<Pending> folders{{"", "", root}};
        while (!folders.empty()) {
            const Pending pending = std::move(folders.front());
            const std::string& relative = pending.relative;
            folders.pop_front();
            check();
            const std::string shown = relative.empty() ? shownName : repairUtf8(relative);
            const std::string& reached = opening_ != nullptr ? pending.stored : relative;
            UniqueFd folder(reached.empty() ? ::fcntl(sourceRoot_.get(), F_DUPFD_CLOEXEC, 0)
                                            : openBeneath(sourceRoot_.get(), reached,
                                                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
            struct stat status {};
            if (!folder || ::fstat(folder.get(), &status) != 0) {
                throw failure(shown, "read", errno);
            }
            if (!sameEntry(status, pending.seen)) {
                throw changed(shown);
            }
            const std::string prefix = relative.empty() ? "" : relative + "/";
            const std::string storedPrefix = pending.stored.empty() ? "" : pending.stored + "/";
            const std::vector<std::string> names = namesIn(folder, shown);
            std::optional<container::DirIv> iv;
            if (opening_ != nullptr) {
                try {
                    iv = container::dirIvOf(folder.get(), shown);
                } catch (const std::system_error& error) {
                    throw failure(shown, "read", error.code().value());
                }
            }
            for (const std::string& stored : names) {
                std::string name = stored;
                if (iv) {
                    std::optional<std::string> opened =
                        openedName(folder.get(), stored, *iv, shown);
                    if (!opened) {
                        continue;
                    }
                    name = std::move(*opened);
                }
                if (relative.empty() && options_.skipping.contains(name)) {
                    continue;
                }
                struct stat info {};
                if (::fstatat(folder.get(), stored.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
                    throw failure(repairUtf8(prefix + name), "read", errno);
                }
                add(prefix + name, info, storedPrefix + stored);
                if (S_ISDIR(info.st_mode)) {
                    folders.push_back({prefix + name, storedPrefix + stored, info});
                }
            }
        }
    }

    // The name a stored name in a container's folder stands for: none for the container's own
    // files and for what is not a sealed name at all (a note put beside the content, which the
    // mount leaves out too). A sealed name that does not open fails the copy: its folder's
    // tweak or the name was changed, and the mount would leave the entry out without a word.
    std::optional<std::string> openedName(int folder, const std::string& stored,
                                          const container::DirIv& iv,
                                          const std::string& shown) const {
        if (stored == container::dirIvName || stored == container::configName) {
            return std::nullopt;
        }
        std::optional<std::string> sealed;
        if (stored.starts_with(container::longNamePrefix)) {
            if (stored.ends_with(container::longNameSuffix)) {
                return std::nullopt;  // the full name of a long one
            }
            sealed =
                container::readNameFile(folder, stored + std::string(container::longNameSuffix));
        } else {
            if (!ContainerKeys::hasSealedForm(stored)) {
                return std::nullopt;
            }
            sealed = stored;
        }
        std::optional<std::string> plain =
            sealed ? opening_->openName(*sealed, iv) : std::optional<std::string>();
        if (!plain) {
            throw failure(shown, "read", EIO);
        }
        return plain;
    }

    // The names in a folder held open, but "." and "..".
    static std::vector<std::string> namesIn(const UniqueFd& folder, const std::string& shown) {
        const int listed = ::fcntl(folder.get(), F_DUPFD_CLOEXEC, 0);
        DIR* listing = listed >= 0 ? ::fdopendir(listed) : nullptr;
        if (listing == nullptr) {
            const int error = errno;
            if (listed >= 0) {
                ::close(listed);
            }
            throw failure(shown, "read", error);
        }
        std::vector<std::string> names;
        ::rewinddir(listing);
        errno = 0;
        while (const dirent* entry = ::readdir(listing)) {
            const std::string_view name = entry->d_name;
            if (name != "." && name != "..") {
                names.emplace_back(name);
            }
            errno = 0;
        }
        const int error = errno;
        ::closedir(listing);
        if (error != 0) {
            throw failure(shown, "read", error);
        }
        return names;
    }

    // Records one entry in the manifest and in the work to do. Folders are made at once, each
    // writable by its owner until it is full.
    void add(const std::string& source, const struct stat& info, const std::string& stored) {
        Job job{source, {}, info, info.st_size};
        if (keys_ != nullptr) {
            job.sealed = sealedPathOf(job);
        } else if (opening_ != nullptr) {
            job.sealed = stored;
            if (S_ISREG(info.st_mode)) {
                const std::optional<std::uint64_t> plain =
                    container::plainSize(static_cast<std::uint64_t>(info.st_size));
                if (!plain) {
                    throw failure(shownOf(job), "read", EIO);
                }
                job.size = static_cast<off_t>(*plain);
            }
        }
        const std::string key = keyOf(job);
        if (S_ISDIR(info.st_mode)) {
            manifest_.emplace(key, TreeVerifier::Directory{});
            make(job, placeOf(into_.fd(), destinationOf(job), shownOf(job)),
                 [&](const FileSystem::Entry& entry) { fileSystem_->makeFolderAt(entry, 0700); });
            if (keys_ != nullptr) {
                // Every folder of a container holds the tweak of the names in it.
                container::DirIv iv{};
                container::randomBytes(iv);
                writeSmallFile(job, job.sealed + "/" + std::string(container::dirIvName), iv);
                sealedFolders_.emplace(source, SealedFolder{job.sealed, iv});
            }
            folders_.push_back(std::move(job));
            return;
        }
        if (S_ISREG(info.st_mode)) {
            if (info.st_nlink > 1) {
                const auto [first, inserted] =
                    linkedFiles_.emplace(std::pair(info.st_dev, info.st_ino), jobs_.size());
                if (!inserted) {
                    hardLinks_.emplace_back(first->second, std::move(job));
                    manifest_.emplace(key, TreeVerifier::File{});  // filled in once copied
                    return;
                }
            }
            auto& entry = manifest_.emplace(key, TreeVerifier::File{job.size, {}}).first->second;
            job.manifestFile = &std::get<TreeVerifier::File>(entry);
            const auto size = static_cast<std::uint64_t>(job.size);
            job.blocks = std::max<std::uint64_t>(
                1, size / ContentCopier::blockSize + (size % ContentCopier::blockSize != 0));
            if (__builtin_add_overflow(total_, job.size, &total_)) {
                total_ = std::numeric_limits<std::int64_t>::max();
            }
        } else if (S_ISLNK(info.st_mode)) {
            // The target is read when the link is made; the manifest entry then gets it.
            manifest_.emplace(key, TreeVerifier::Symlink{});
        } else {
            manifest_.emplace(key, TreeVerifier::Other{std::string(fileTypeName(info.st_mode))});
        }
        // Tasks are numbered: each job's first is the sum of the blocks before it.
        firstTasks_.push_back(tasks_);
        tasks_ += job.blocks;
        jobs_.push_back(std::move(job));
    }

    void copyAll() {
        report(true);
        BufferPool buffers;
        forEachInParallel(tasks_, ContentCopier::threads, [&](std::size_t task) {
            try {
                check();
                const auto index = static_cast<std::size_t>(
                    std::upper_bound(firstTasks_.begin(), firstTasks_.end(), task) -
                    firstTasks_.begin() - 1);
                const Job& job = jobs_[index];
                if (S_ISREG(job.info.st_mode)) {
                    const BufferPool::Lease buffer(buffers);
                    copyBlock(index, task - firstTasks_[index], buffer.bytes);
                } else if (S_ISLNK(job.info.st_mode)) {
                    copyLink(job, keyOf(job));
                } else {
                    copySpecial(job);
                }
            } catch (...) {
                stopAll();
                throw;
            }
        });
        // Names of a file copied once: linked to its copy, as cp -a links them.
        for (const auto& [first, job] : hardLinks_) {
            check();
            const Place target = placeOf(into_.fd(), destinationOf(jobs_[first]), shownOf(job));
            const Place link = placeOf(into_.fd(), destinationOf(job), shownOf(job));
            const std::filesystem::path targetPath = into_.path() / destinationOf(jobs_[first]);
            make(job, link, [&](const FileSystem::Entry& entry) {
                fileSystem_->makeHardLinkAt({target.folder, target.name, targetPath}, entry);
            });
            manifest_.at(keyOf(job)) = manifest_.at(keyOf(jobs_[first]));
        }
        report(true);
    }

    // After a failure no block waits any longer for another.
    void stopAll() {
        stopping_ = true;
        const std::lock_guard guard(flightsLock_);
        for (auto& [index, flight] : flights_) {
            { const std::lock_guard flightGuard(flight->lock); }
            flight->turn.notify_all();
        }
    }

    FileInFlight& flightOf(std::size_t index) {
        const std::lock_guard guard(flightsLock_);
        std::unique_ptr<FileInFlight>& flight = flights_[index];
        if (!flight) {
            flight = std::make_unique<FileInFlight>();
        }
        return *flight;
    }

    void land(std::size_t index) {
        const std::lock_guard guard(flightsLock_);
        flights_.erase(index);
    }

    void open(const Job& job, FileInFlight& flight) {
        // Looked at before it is opened for reading: a file swapped for a FIFO must not hold the
        // copy. The reading descriptor is opened from the one looked at, so it is that file.
        const UniqueFd found(openBeneath(sourceRoot_.get(), sourceOf(job), O_PATH | O_NOFOLLOW));
        struct stat now {};
        if (!found || ::fstat(found.get(), &now) != 0) {
            throw failure(shownOf(job), "read", errno);
        }
        if (!S_ISREG(now.st_mode)) {
            throw changed(shownOf(job));
        }
        flight.source.reset(
            ::open(("/proc/self/fd/" + std::to_string(found.get())).c_str(), O_RDONLY | O_CLOEXEC));
        if (!flight.source) {
            throw failure(shownOf(job), "read", errno);
        }
        // Another file at the walked name now (replaced, or a folder on the way swapped): it is
        // copied as found, and the manifest says it changed.
        flight.changed = !sameStatus(now, job.info);
        ::posix_fadvise(flight.source.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
        make(job, placeOf(into_.fd(), destinationOf(job), shownOf(job)),
             [&](const FileSystem::Entry& entry) {
                 flight.destination = fileSystem_->createFileAt(entry, 0600);
             });
        if (opening_ != nullptr && job.size > 0) {
            // The header: the format's version, then the file ID every block is bound to.
            std::array<unsigned char, container::headerSize> header{};
            if (::pread(flight.source.get(), header.data(), header.size(), 0) !=
                    static_cast<ssize_t>(header.size()) ||
                header[0] != 0 || header[1] != 2) {
                throw failure(shownOf(job), "read", EIO);
            }
            std::copy(header.begin() + 2, header.end(), flight.id.begin());
        }
        if (keys_ != nullptr && job.info.st_size > 0) {
            container::randomBytes(flight.id);
            const auto header = container::header(flight.id);
            write(job, flight, reinterpret_cast<const char*>(header.data()), 0,
                  static_cast<off_t>(header.size()));
        }
        if (!flight.hash.ready()) {
            throw failure(shownOf(job), "hashed", ENOMEM);
        }
    }

    void copyBlock(std::size_t index, std::size_t block, char* buffer) {
        const Job& job = jobs_[index];
        FileInFlight& flight = flightOf(index);
        const auto waitFor = [&](std::unique_lock<std::mutex>& guard, auto ready) {
            flight.turn.wait(guard, [&] { return ready() || flight.abandoned || stopping_; });
            return !flight.abandoned && !stopping_;
        };
        const auto offset = static_cast<off_t>(block * ContentCopier::blockSize);
        const auto length = static_cast<std::size_t>(std::min<std::int64_t>(
            static_cast<std::int64_t>(ContentCopier::blockSize), job.size - offset));
        bool last = false;
        try {
            if (block == 0) {
                open(job, flight);
                const std::lock_guard guard(flight.lock);
                flight.opened = true;
                flight.turn.notify_all();
            } else {
                std::unique_lock guard(flight.lock);
                if (!waitFor(guard, [&] { return flight.opened; })) {
                    return;  // the failure that stopped it is the one reported
                }
            }
            const bool whole = readAndWrite(job, flight, offset, length, buffer);

            std::unique_lock guard(flight.lock);
            if (!waitFor(guard, [&] { return flight.hashed == block; })) {
                return;
            }
            if (!flight.hash.add(buffer, length)) {
                throw failure(shownOf(job), "hashed", EIO);
            }
            flight.changed = flight.changed || !whole;
            ++flight.hashed;
            flight.turn.notify_all();
            last = flight.hashed == job.blocks;
        } catch (...) {
            {
                const std::lock_guard guard(flight.lock);
                flight.abandoned = true;
            }
            flight.turn.notify_all();
            throw;
        }
        // From here on only the last block's thread may touch the file: the others' flight may
        // already be gone.
        done_ += static_cast<std::int64_t>(length);
        report(false);
        if (last) {
            finishFile(job, flight);
            land(index);
        }
    }

    void write(const Job& job, FileInFlight& flight, const char* bytes, off_t at, off_t end) {
        while (at < end) {
            const ssize_t count =
                ::pwrite(flight.destination.get(), bytes, static_cast<std::size_t>(end - at), at);
            if (count < 0) {
                if (errno == EINTR) {
                    continue;
                }
                throw failure(shownOf(job), "written", errno);
            }
            if (count == 0) {
                throw failure(shownOf(job), "written", ENOSPC);
            }
            at += count;
            bytes += count;
            writeBack_.wrote(count);
        }
    }

    // Reads `length` bytes at `offset` into `buffer` and writes them to the copy at the same
    // offset. Everything is read, holes too, and what the file system gives is what is hashed;
    // holes are only not written: ranges SEEK_DATA skips that read as zeros. False when the
    // file ended early.
    bool readAndWrite(const Job& job, FileInFlight& flight, off_t offset, std::size_t length,
                      char* buffer) {
        if (opening_ != nullptr) {
            unseal(job, flight, offset, length, buffer);
            return true;
        }
        const int source = flight.source.get();
        std::size_t got = 0;
        bool whole = true;
        while (got < length) {
            check();
            const ssize_t count =
                ::pread(source, buffer + got, length - got, offset + static_cast<off_t>(got));
            if (count < 0) {
                if (errno == EINTR) {
                    continue;
                }
                throw failure(shownOf(job), "read", errno);
            }
            if (count == 0) {
                std::memset(buffer + got, 0, length - got);
                whole = false;
                break;
            }
            got += static_cast<std::size_t>(count);
        }
        const off_t end = offset + static_cast<off_t>(got);
        if (keys_ != nullptr) {
            seal(job, flight, offset, {buffer, got}, job.info.st_blocks * 512 < job.info.st_size);
            return whole;
        }
        // A file whose blocks cover its length has no holes to look for.
        if (job.info.st_blocks * 512 >= job.info.st_size) {
            write(job, flight, buffer, offset, end);
            return whole;
        }
        for (off_t position = offset; position < end;) {
            off_t dataStart = ::lseek(source, position, SEEK_DATA);
            if (dataStart < 0) {
                dataStart = errno == ENXIO ? end : position;  // ENXIO: only a hole is left
            }
            dataStart = std::clamp(dataStart, position, end);
            off_t dataEnd = end;
            if (dataStart < end) {
                const off_t hole = ::lseek(source, dataStart, SEEK_HOLE);
                dataEnd = hole < 0 ? end : std::clamp(hole, dataStart + 1, end);
            }
            const char* gap = buffer + (position - offset);
            if (!allZero(gap, static_cast<std::size_t>(dataStart - position))) {
                write(job, flight, gap, position, dataStart);  // not a hole after all
            }
            write(job, flight, buffer + (dataStart - offset), dataStart, dataEnd);
            position = dataEnd;
        }
        return whole;
    }

    // Into a container: the bytes read at `offset` (a whole number of blocks in), sealed block
    // by block, each run of sealed blocks written at once. In a file with holes, a whole block
    // of zeros is left a hole, which reads as zeros, as the mount leaves it.
    void seal(const Job& job, FileInFlight& flight, off_t offset, std::span<const char> bytes,
              bool sparse) {
        thread_local std::vector<unsigned char> sealed;
        const std::size_t blocks = (bytes.size() + container::blockSize - 1) / container::blockSize;
        sealed.resize(blocks * container::sealedBlockSize);
        BlockCipher cipher(*keys_);
        const auto first = static_cast<std::uint64_t>(offset) / container::blockSize;
        const auto at = [](std::uint64_t block) {
            return static_cast<off_t>(container::headerSize + block * container::sealedBlockSize);
        };
        std::uint64_t runStart = first;
        std::size_t runBytes = 0;
        const auto flush = [&] {
            const auto* run = reinterpret_cast<const char*>(sealed.data());
            write(job, flight, run, at(runStart), at(runStart) + static_cast<off_t>(runBytes));
            runBytes = 0;
        };
        for (std::size_t index = 0; index < blocks; ++index) {
            const std::size_t start = index * container::blockSize;
            const std::size_t size = std::min(container::blockSize, bytes.size() - start);
            if (sparse && size == container::blockSize && allZero(bytes.data() + start, size)) {
                if (runBytes > 0) {
                    flush();
                }
                runStart = first + index + 1;
                continue;
            }
            cipher.seal({reinterpret_cast<const unsigned char*>(bytes.data() + start), size},
                        first + index, flight.id, sealed.data() + runBytes);
            runBytes += size + container::ivSize + container::tagSize;
        }
        if (runBytes > 0) {
            flush();
        }
    }

    // Out of a container: the sealed blocks holding the `length` bytes at `offset` (a whole
    // number of blocks in), each opened into `buffer` with its tag checked, so what is copied
    // is what was sealed as that block of that file. A whole block of zero bytes on disk is a
    // hole and reads as zeros, as the mount reads it; it is left a hole in the copy, as are
    // blocks of zeros in a sparse file. A block that does not open, or a file shorter than
    // when it was walked, fails the copy.
    void unseal(const Job& job, FileInFlight& flight, off_t offset, std::size_t length,
                char* buffer) {
        thread_local std::vector<unsigned char> sealed;
        const std::size_t blocks = (length + container::blockSize - 1) / container::blockSize;
        const std::size_t wanted = length + blocks * (container::ivSize + container::tagSize);
        sealed.resize(wanted);
        const auto first = static_cast<std::uint64_t>(offset) / container::blockSize;
        const auto at =
            static_cast<off_t>(container::headerSize + first * container::sealedBlockSize);
        for (std::size_t got = 0; got < wanted;) {
            check();
            const ssize_t count = ::pread(flight.source.get(), sealed.data() + got, wanted - got,
                                          at + static_cast<off_t>(got));
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count <= 0) {
                throw failure(shownOf(job), "read", count < 0 ? errno : EIO);
            }
            got += static_cast<std::size_t>(count);
        }
        BlockCipher cipher(*opening_);
        const bool sparse = job.info.st_blocks * 512 < job.info.st_size;
        std::size_t runStart = 0;  // the first opened block not yet written
        const auto flush = [&](std::size_t end) {
            if (end > runStart) {
                const off_t from = offset + static_cast<off_t>(runStart * container::blockSize);
                const off_t to =
                    offset + static_cast<off_t>(std::min(end * container::blockSize, length));
                write(job, flight, buffer + runStart * container::blockSize, from, to);
            }
        };
        for (std::size_t index = 0; index < blocks; ++index) {
            const std::size_t size =
                std::min(container::blockSize, length - index * container::blockSize);
            const unsigned char* block = sealed.data() + index * container::sealedBlockSize;
            const std::size_t sealedLength = size + container::ivSize + container::tagSize;
            char* out = buffer + index * container::blockSize;
            // Only a whole block can be a hole: a shorter last block of zeros is damage, which
            // its tag refuses.
            bool hole = size == container::blockSize &&
                        allZero(reinterpret_cast<const char*>(block), sealedLength);
            if (hole) {
                std::memset(out, 0, size);
            } else if (!cipher.open({block, sealedLength}, first + index, flight.id,
                                    reinterpret_cast<unsigned char*>(out))) {
                throw failure(shownOf(job), "read", EIO);
            } else {
                // In a sparse file, zeros are left a hole as a plain copy leaves them.
                hole = sparse && allZero(out, size);
            }
            if (hole) {
                flush(index);
                runStart = index + 1;
            }
        }
        flush(blocks);
    }

    void finishFile(const Job& job, FileInFlight& flight) {
        const int destination = flight.destination.get();
        const auto size = keys_ != nullptr ? static_cast<off_t>(container::sealedSize(
                                                 static_cast<std::uint64_t>(job.info.st_size)))
                                           : job.size;
        if (::ftruncate(destination, size) != 0) {
            throw failure(shownOf(job), "written", errno);
        }
        const mode_t mode = keepOwner(job.info, destination, -1, "");
        copyExtendedAttributes({flight.source.get(), {}}, {destination, {}}, shownOf(job), keys_,
                               opening_);
        if (::fchmod(destination, mode) != 0) {
            throw failure(shownOf(job), "given its mode", errno);
        }
        keepTimes(job.info, destination, -1, "", shownOf(job));
        // Closing a file in a container is where a late write error shows.
        if (::close(flight.destination.release()) != 0 && errno != EINTR) {
            throw failure(shownOf(job), "written", errno);
        }
        // Unchanged means: the same file, its length and times as walked, and nothing past the
        // length read.
        struct stat after {};
        char past = 0;
        const bool unchanged = !flight.changed && ::fstat(flight.source.get(), &after) == 0 &&
                               sameStatus(after, job.info) &&
                               ::pread(flight.source.get(), &past, 1, job.info.st_size) == 0;
        std::optional<std::string> digest = flight.hash.hexDigest();
        if (!digest) {
            throw failure(shownOf(job), "hashed", EIO);
        }
        // An empty digest never matches: the verification reports the file.
        job.manifestFile->digest = unchanged ? std::move(*digest) : std::string();
    }

    // The entry at `place` is still the one walked.
    void expectWalked(const Job& job, const Place& place) const {
        struct stat now {};
        if (::fstatat(place.folder, place.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
            throw failure(shownOf(job), "read", errno);
        }
        if (!sameEntry(now, job.info)) {
            throw changed(shownOf(job));
        }
    }

    void copyLink(const Job& job, const std::string& key) {
        const Place from = placeOf(sourceRoot_.get(), sourceOf(job), shownOf(job));
        std::string target(static_cast<std::size_t>(std::max<off_t>(job.info.st_size, 255)) + 1,
                           '\0');
        for (;;) {
            const ssize_t length =
                ::readlinkat(from.folder, from.name.c_str(), target.data(), target.size());
            if (length < 0) {
                throw failure(shownOf(job), "read", errno);
            }
            if (static_cast<std::size_t>(length) < target.size()) {
                target.resize(static_cast<std::size_t>(length));
                break;
            }
            target.resize(target.size() * 2);
        }
        expectWalked(job, from);
        if (opening_ != nullptr) {
            std::optional<std::string> opened = opening_->openTarget(target);
            if (!opened) {
                throw failure(shownOf(job), "read", EIO);
            }
            target = std::move(*opened);
        }
        const Place to = placeOf(into_.fd(), destinationOf(job), shownOf(job));
        std::string stored = target;
        if (keys_ != nullptr) {
            stored = keys_->sealTarget(target);
        }
        make(job, to,
             [&](const FileSystem::Entry& entry) { fileSystem_->makeLinkAt(entry, stored); });
        (void)keepOwner(job.info, -1, to.folder, to.name);
        copyExtendedAttributes({-1, from.path()}, {-1, to.path()}, shownOf(job), keys_, opening_);
        keepTimes(job.info, -1, to.folder, to.name, shownOf(job));
        // Only this entry's value changes here; the map itself stays as the walk made it.
        std::get<TreeVerifier::Symlink>(manifest_.at(key)).target = std::move(target);
    }

    void copySpecial(const Job& job) {
        const Place from = placeOf(sourceRoot_.get(), sourceOf(job), shownOf(job));
        expectWalked(job, from);
        const Place to = placeOf(into_.fd(), destinationOf(job), shownOf(job));
        make(job, to, [&](const FileSystem::Entry& entry) {
            fileSystem_->makeNodeAt(entry, (job.info.st_mode & S_IFMT) | 0600, job.info.st_rdev);
        });
        const mode_t mode = keepOwner(job.info, -1, to.folder, to.name);
        copyExtendedAttributes({-1, from.path()}, {-1, to.path()}, shownOf(job), keys_, opening_);
        if (::fchmodat(to.folder, to.name.c_str(), mode, 0) != 0) {
            throw failure(shownOf(job), "given its mode", errno);
        }
        keepTimes(job.info, -1, to.folder, to.name, shownOf(job));
    }

    // Each folder's attributes once everything inside it is in place, the deepest first.
    void finishFolders() {
        for (auto folder = folders_.rbegin(); folder != folders_.rend(); ++folder) {
            check();
            const UniqueFd source(
                openBeneath(sourceRoot_.get(), sourceOf(*folder), O_RDONLY | O_DIRECTORY));
            struct stat now {};
            if (!source || ::fstat(source.get(), &now) != 0) {
                throw failure(shownOf(*folder), "read", errno);
            }
            if (!sameEntry(now, folder->info)) {
                throw changed(shownOf(*folder));
            }
            const UniqueFd copy(
                openBeneath(into_.fd(), destinationOf(*folder), O_RDONLY | O_DIRECTORY));
            if (!copy) {
                throw failure(shownOf(*folder), "written", errno);
            }
            const mode_t mode = keepOwner(folder->info, copy.get(), -1, "");
            copyExtendedAttributes({source.get(), {}}, {copy.get(), {}}, shownOf(*folder), keys_,
                                   opening_);
            if (::fchmod(copy.get(), mode) != 0) {
                throw failure(shownOf(*folder), "given its mode", errno);
            }
            keepTimes(folder->info, copy.get(), -1, "", shownOf(*folder));
        }
    }

    void report(bool always) {
        if (!options_.progress) {
            return;
        }
        const std::lock_guard guard(reportLock_);
        const Clock::time_point now = Clock::now();
        if (always || now - lastReport_ >= std::chrono::milliseconds(100)) {
            lastReport_ = now;
            options_.progress(std::min(done_.load(), total_), total_);
        }
    }

    const std::filesystem::path& from_;
    const Folder& into_;
    FileSystem* fileSystem_ = nullptr;
    const std::string& name_;
    const ContentCopier::Options& options_;
    const ContainerKeys* keys_;
    const ContainerKeys* opening_;
    WriteBack writeBack_;
    std::map<std::string, SealedFolder> sealedFolders_;  // by the folder's path in the source

    UniqueFd sourceRoot_;
    bool single_ = false;
    TreeVerifier::Manifest manifest_;
    std::vector<Job> jobs_;
    std::vector<std::size_t> firstTasks_;  // each job's first task
    std::size_t tasks_ = 0;
    std::vector<Job> folders_;
    std::map<std::pair<dev_t, ino_t>, std::size_t> linkedFiles_;  // → the job copying it
    std::vector<std::pair<std::size_t, Job>> hardLinks_;          // (that job, one more name)
    std::atomic<bool> stopping_{false};
    std::mutex flightsLock_;
    std::map<std::size_t, std::unique_ptr<FileInFlight>> flights_;

    std::int64_t total_ = 0;
    std::atomic<std::int64_t> done_{0};
    std::mutex reportLock_;
    Clock::time_point lastReport_{};
};

}  // namespace

TreeVerifier::Manifest ContentCopier::copyInto(const std::filesystem::path& from,
                                               const Folder& into, const std::string& name,
                                               const Options& options) const {
    return Copy(from, into, name, options).run(*fileSystem_);
}

}  // namespace tessela
