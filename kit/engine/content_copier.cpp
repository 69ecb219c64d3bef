#include "engine/content_copier.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "activity/parallel_work.h"
#include "errors/tessela_error.h"
#include "files/file_type.h"
#include "files/file_walk.h"
#include "files/sha256.h"
#include "posix/unique_fd.h"
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

// Opens `relative` beneath the folder `root` without following a link on the way: a folder
// swapped for a link meanwhile fails the open instead of leading elsewhere. Kernels without
// openat2 (or sandboxes that refuse it) fall back to openat, which still never follows the last
// component (the callers pass O_NOFOLLOW or O_DIRECTORY with an identity check).
int openBeneath(int root, const std::string& relative, int flags, mode_t mode = 0) {
    open_how how{};
    how.flags = static_cast<__u64>(static_cast<unsigned>(flags | O_CLOEXEC));
    how.mode = (flags & O_CREAT) != 0 ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    for (int attempt = 0;; ++attempt) {
        const long fd = ::syscall(SYS_openat2, root, relative.c_str(), &how, sizeof how);
        if (fd >= 0) {
            return static_cast<int>(fd);
        }
        if ((errno == EINTR || errno == EAGAIN) && attempt < 10) {
            continue;
        }
        if (errno != ENOSYS && errno != EPERM) {
            return -1;
        }
        break;
    }
    return ::openat(root, relative.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, mode);
}

// A name within the folder that holds it, that folder held open.
struct Place {
    UniqueFd held;
    int folder = -1;
    std::string name;
    // The same entry as a path for the l…xattr calls, which have no descriptor form.
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

void writeAttribute(const AttributeHolder& holder, const char* name, const std::string& value) {
    // Refused attributes are left out, as cp -a leaves them: a namespace this user may not
    // write, or one the destination's file system does not keep.
    if (holder.fd >= 0) {
        (void)::fsetxattr(holder.fd, name, value.data(), value.size(), 0);
    } else {
        (void)::lsetxattr(holder.path.c_str(), name, value.data(), value.size(), 0);
    }
}

void copyExtendedAttributes(const AttributeHolder& from, const AttributeHolder& to) {
    std::string names;
    for (int attempt = 0; attempt < 4; ++attempt) {
        const ssize_t size = listAttributes(from, nullptr, 0);
        if (size <= 0) {
            return;
        }
        names.resize(static_cast<std::size_t>(size));
        const ssize_t length = listAttributes(from, names.data(), names.size());
        if (length >= 0) {
            names.resize(static_cast<std::size_t>(length));
            break;
        }
        if (errno != ERANGE) {
            return;
        }
        names.clear();  // the list grew meanwhile
    }
    for (std::size_t start = 0; start < names.size();) {
        const std::string name = names.c_str() + start;
        start += name.size() + 1;
        std::string value;
        for (int attempt = 0; attempt < 4; ++attempt) {
            const ssize_t size = readAttribute(from, name.c_str(), nullptr, 0);
            if (size < 0) {
                break;
            }
            value.resize(static_cast<std::size_t>(size));
            const ssize_t length = readAttribute(from, name.c_str(), value.data(), value.size());
            if (length >= 0) {
                value.resize(static_cast<std::size_t>(length));
                writeAttribute(to, name.c_str(), value);
                break;
            }
            if (errno != ERANGE) {
                break;
            }
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

bool sameStatus(const struct stat& first, const struct stat& second) {
    const auto same = [](const timespec& one, const timespec& other) {
        return one.tv_sec == other.tv_sec && one.tv_nsec == other.tv_nsec;
    };
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino &&
           first.st_size == second.st_size && same(first.st_mtim, second.st_mtim) &&
           same(first.st_ctim, second.st_ctim);
}

// One entry to copy.
struct Job {
    std::string source;       // beneath the source root
    std::string destination;  // beneath the destination folder
    std::string shown;        // for messages: the relative path, repaired for display
    struct stat info {};
    TreeVerifier::File* manifestFile = nullptr;  // a regular file's entry, digest to fill
    std::size_t blocks = 0;                      // a regular file's blocks (at least one)
};

// A file copied in several blocks by several threads: opened by its first block's thread,
// hashed in block order, finished by the thread that hashes the last block.
struct FileInFlight {
    std::mutex lock;
    std::condition_variable turn;
    UniqueFd source;
    UniqueFd destination;
    Sha256 hash;
    std::size_t hashed = 0;
    bool opened = false;
    bool changed = false;
    bool abandoned = false;  // a block failed: the others stop quietly
};

// Periodically flushes the file system the copy lands on, from its own thread, while enough
// has been written since the last flush.
class WriteBack {
  public:
    static constexpr std::int64_t threshold = 32 * 1024 * 1024;

    WriteBack(const std::optional<std::filesystem::path>& folder, const std::atomic<std::int64_t>& written)
        : written_(written) {
        if (!folder) {
            return;
        }
        fd_.reset(::open(folder->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (fd_) {
            try {
                thread_ = std::thread([this] { run(); });
            } catch (const std::system_error&) {
                // No thread: the final flush does all the work.
            }
        }
    }
    ~WriteBack() {
        {
            const std::lock_guard guard(lock_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    WriteBack(const WriteBack&) = delete;
    WriteBack& operator=(const WriteBack&) = delete;

  private:
    void run() {
        std::int64_t flushed = 0;
        std::unique_lock guard(lock_);
        while (!stopping_) {
            wake_.wait_for(guard, std::chrono::milliseconds(250));
            const std::int64_t now = written_.load();
            if (!stopping_ && now - flushed >= threshold) {
                flushed = now;
                guard.unlock();
                (void)::syncfs(fd_.get());
                guard.lock();
            }
        }
    }

    const std::atomic<std::int64_t>& written_;
    UniqueFd fd_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
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
        : from_(from), into_(into), name_(name), options_(options) {}

    TreeVerifier::Manifest run(FileSystem& fileSystem) {
        struct stat root {};
        if (::lstat(from_.c_str(), &root) != 0) {
            throw failure(repairUtf8(from_.filename().string()), "read", errno);
        }
        if (S_ISDIR(root.st_mode)) {
            sourceRoot_.reset(::open(from_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!sourceRoot_) {
                throw failure(repairUtf8(from_.filename().string()), "read", errno);
            }
            walk();
        } else {
            sourceRoot_.reset(
                ::open(from_.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (!sourceRoot_) {
                throw failure(repairUtf8(from_.parent_path().filename().string()), "read", errno);
            }
            add("", from_.filename().string(), name_, root);
        }
        copyAll();
        if (S_ISDIR(root.st_mode)) {
            finishFolders();
            const mode_t mode = keepOwner(root, into_.fd(), -1, "");
            copyExtendedAttributes({sourceRoot_.get(), {}}, {into_.fd(), {}});
            fileSystem.changeMode(into_, options_.rootMode.value_or(mode));
            keepTimes(root, into_.fd(), -1, "", repairUtf8(from_.filename().string()));
        }
        return std::move(manifest_);
    }

  private:
    void check() const {
        if (options_.cancel != nullptr) {
            options_.cancel->check();
        }
    }

    void walk() {
        try {
            FileWalk::walk(from_, [&](const FileWalk::Entry& entry) {
                check();
                const std::string& relative = entry.relativePath;
                if (relative.find('/') == std::string::npos &&
                    options_.skipping.contains(relative)) {
                    return FileWalk::Next::skipDescendants;
                }
                if (entry.problem) {
                    throw failure(repairUtf8(relative), "read", *entry.problem);
                }
                add(relative, relative, relative, entry.info);
                return FileWalk::Next::descend;
            });
        } catch (const FileWalk::WalkError& error) {
            throw failure(repairUtf8(from_.filename().string()), "read", error.code());
        }
    }

    // Records one entry in the manifest and in the work to do. Folders are made at once, each
    // writable by its owner until it is full.
    void add(const std::string& key, const std::string& source, const std::string& destination,
             const struct stat& info) {
        Job job{source, destination, repairUtf8(key.empty() ? destination : key), info};
        if (S_ISDIR(info.st_mode)) {
            manifest_.emplace(key, TreeVerifier::Directory{});
            if (::mkdirat(into_.fd(), destination.c_str(), 0700) != 0) {
                throw failure(job.shown, "created", errno);
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
            auto& entry = manifest_.emplace(key, TreeVerifier::File{info.st_size, {}}).first->second;
            job.manifestFile = &std::get<TreeVerifier::File>(entry);
            const auto size = static_cast<std::uint64_t>(info.st_size);
            job.blocks = std::max<std::uint64_t>(1, (size + ContentCopier::blockSize - 1) /
                                                        ContentCopier::blockSize);
            total_ += info.st_size;
        } else if (S_ISLNK(info.st_mode)) {
            // The target is read when the link is made; the manifest entry then gets it.
            manifest_.emplace(key, TreeVerifier::Symlink{});
        } else {
            manifest_.emplace(key, TreeVerifier::Other{std::string(fileTypeName(info.st_mode))});
        }
        const std::size_t index = jobs_.size();
        for (std::size_t block = 0; block < std::max<std::size_t>(job.blocks, 1); ++block) {
            tasks_.emplace_back(index, block);
        }
        keys_.push_back(key);
        jobs_.push_back(std::move(job));
    }

    void copyAll() {
        report(true);
        const WriteBack writeBack(options_.writeBackTo, written_);
        BufferPool buffers;
        forEachInParallel(tasks_.size(), ContentCopier::threads, [&](std::size_t task) {
            check();
            const auto [index, block] = tasks_[task];
            Job& job = jobs_[index];
            if (S_ISREG(job.info.st_mode)) {
                const BufferPool::Lease buffer(buffers);
                copyBlock(index, block, buffer.bytes);
            } else if (S_ISLNK(job.info.st_mode)) {
                copyLink(job, keys_[index]);
            } else {
                copySpecial(job);
            }
        });
        // Names of a file copied once: linked to its copy, as cp -a links them.
        for (const auto& [first, job] : hardLinks_) {
            check();
            if (::linkat(into_.fd(), jobs_[first].destination.c_str(), into_.fd(),
                         job.destination.c_str(), 0) != 0) {
                throw failure(job.shown, "created", errno);
            }
            manifest_.at(job.source) = manifest_.at(keys_[first]);
        }
        report(true);
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

    void open(Job& job, FileInFlight& flight) {
        flight.source.reset(openBeneath(sourceRoot_.get(), job.source, O_RDONLY | O_NOFOLLOW));
        if (!flight.source) {
            throw failure(job.shown, "read", errno);
        }
        struct stat now {};
        if (::fstat(flight.source.get(), &now) != 0) {
            throw failure(job.shown, "read", errno);
        }
        // Another file at the walked name now (replaced, or a folder on the way swapped): it is
        // copied as found, and the manifest says it changed.
        flight.changed = !sameStatus(now, job.info);
        ::posix_fadvise(flight.source.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
        flight.destination.reset(openBeneath(into_.fd(), job.destination,
                                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600));
        if (!flight.destination) {
            throw failure(job.shown, "created", errno);
        }
        if (!flight.hash.ready()) {
            throw failure(job.shown, "hashed", ENOMEM);
        }
    }

    void copyBlock(std::size_t index, std::size_t block, char* buffer) {
        Job& job = jobs_[index];
        FileInFlight& flight = flightOf(index);
        try {
            if (block == 0) {
                open(job, flight);
                const std::lock_guard guard(flight.lock);
                flight.opened = true;
                flight.turn.notify_all();
            } else {
                std::unique_lock guard(flight.lock);
                flight.turn.wait(guard, [&] { return flight.opened || flight.abandoned; });
                if (flight.abandoned) {
                    return;  // the failure that abandoned it is the one reported
                }
            }
            const auto offset = static_cast<off_t>(block * ContentCopier::blockSize);
            const auto length = static_cast<std::size_t>(
                std::min<std::int64_t>(static_cast<std::int64_t>(ContentCopier::blockSize),
                                       job.info.st_size - offset));
            const bool whole = readAndWrite(job, flight, offset, length, buffer);

            std::unique_lock guard(flight.lock);
            flight.turn.wait(guard, [&] { return flight.hashed == block || flight.abandoned; });
            if (flight.abandoned) {
                return;
            }
            if (!flight.hash.add(buffer, length)) {
                throw failure(job.shown, "hashed", EIO);
            }
            flight.changed = flight.changed || !whole;
            ++flight.hashed;
            flight.turn.notify_all();
            const bool last = flight.hashed == job.blocks;
            guard.unlock();
            done_ += static_cast<std::int64_t>(length);
            report(false);
            if (last) {
                finishFile(job, flight);
                land(index);
            }
        } catch (...) {
            {
                const std::lock_guard guard(flight.lock);
                flight.abandoned = true;
            }
            flight.turn.notify_all();
            throw;
        }
    }

    // Reads `length` bytes at `offset` into `buffer`, holes as zeros, and writes the data (not
    // the holes) to the copy at the same offset. False when the file ended early.
    bool readAndWrite(const Job& job, FileInFlight& flight, off_t offset, std::size_t length,
                      char* buffer) {
        const int source = flight.source.get();
        const int destination = flight.destination.get();
        // A file whose blocks cover its length has no holes to look for.
        const bool sparse = job.info.st_blocks * 512 < job.info.st_size;
        const off_t end = offset + static_cast<off_t>(length);
        off_t position = offset;
        while (position < end) {
            off_t dataStart = position;
            off_t dataEnd = end;
            if (sparse) {
                dataStart = ::lseek(source, position, SEEK_DATA);
                if (dataStart < 0) {
                    dataStart = errno == ENXIO ? end : position;  // ENXIO: only a hole is left
                }
                dataStart = std::min(dataStart, end);
                if (dataStart < end) {
                    const off_t hole = ::lseek(source, dataStart, SEEK_HOLE);
                    dataEnd = hole < 0 ? end : std::min(std::max(hole, dataStart + 1), end);
                }
                std::memset(buffer + (position - offset), 0,
                            static_cast<std::size_t>(dataStart - position));
            }
            for (off_t at = dataStart; at < dataEnd;) {
                check();
                const ssize_t count = ::pread(source, buffer + (at - offset),
                                              static_cast<std::size_t>(dataEnd - at), at);
                if (count < 0) {
                    if (errno == EINTR) {
                        continue;
                    }
                    throw failure(job.shown, "read", errno);
                }
                if (count == 0) {
                    std::memset(buffer + (at - offset), 0, static_cast<std::size_t>(end - at));
                    return false;
                }
                at += count;
            }
            for (off_t at = dataStart; at < dataEnd;) {
                const ssize_t count = ::pwrite(destination, buffer + (at - offset),
                                               static_cast<std::size_t>(dataEnd - at), at);
                if (count < 0) {
                    if (errno == EINTR) {
                        continue;
                    }
                    throw failure(job.shown, "written", errno);
                }
                if (count == 0) {
                    throw failure(job.shown, "written", ENOSPC);
                }
                at += count;
                written_ += count;
            }
            position = dataEnd;
        }
        return true;
    }

    void finishFile(Job& job, FileInFlight& flight) {
        const int destination = flight.destination.get();
        if (::ftruncate(destination, job.info.st_size) != 0) {
            throw failure(job.shown, "written", errno);
        }
        const mode_t mode = keepOwner(job.info, destination, -1, "");
        copyExtendedAttributes({flight.source.get(), {}}, {destination, {}});
        if (::fchmod(destination, mode) != 0) {
            throw failure(job.shown, "given its mode", errno);
        }
        keepTimes(job.info, destination, -1, "", job.shown);
        // Closing a file in a container is where a late write error shows.
        if (::close(flight.destination.release()) != 0 && errno != EINTR) {
            throw failure(job.shown, "written", errno);
        }
        struct stat after {};
        const bool changed =
            flight.changed || ::fstat(flight.source.get(), &after) != 0 || !sameStatus(after, job.info);
        std::optional<std::string> digest = flight.hash.hexDigest();
        if (!digest) {
            throw failure(job.shown, "hashed", EIO);
        }
        // An empty digest never matches: the verification reports the file.
        job.manifestFile->digest = changed ? std::string() : std::move(*digest);
    }

    void copyLink(const Job& job, const std::string& key) {
        const Place from = placeOf(sourceRoot_.get(), job.source, job.shown);
        std::string target(static_cast<std::size_t>(std::max<off_t>(job.info.st_size, 255)) + 1,
                           '\0');
        for (;;) {
            const ssize_t length =
                ::readlinkat(from.folder, from.name.c_str(), target.data(), target.size());
            if (length < 0) {
                throw failure(job.shown, "read", errno);
            }
            if (static_cast<std::size_t>(length) < target.size()) {
                target.resize(static_cast<std::size_t>(length));
                break;
            }
            target.resize(target.size() * 2);
        }
        const Place to = placeOf(into_.fd(), job.destination, job.shown);
        if (::symlinkat(target.c_str(), to.folder, to.name.c_str()) != 0) {
            throw failure(job.shown, "created", errno);
        }
        (void)keepOwner(job.info, -1, to.folder, to.name);
        copyExtendedAttributes({-1, from.path()}, {-1, to.path()});
        keepTimes(job.info, -1, to.folder, to.name, job.shown);
        // Only this entry's value changes here; the map itself stays as the walk made it.
        std::get<TreeVerifier::Symlink>(manifest_.at(key)).target = std::move(target);
    }

    void copySpecial(const Job& job) {
        const Place from = placeOf(sourceRoot_.get(), job.source, job.shown);
        const Place to = placeOf(into_.fd(), job.destination, job.shown);
        if (::mknodat(to.folder, to.name.c_str(), (job.info.st_mode & S_IFMT) | 0600,
                      job.info.st_rdev) != 0) {
            throw failure(job.shown, "created", errno);
        }
        const mode_t mode = keepOwner(job.info, -1, to.folder, to.name);
        copyExtendedAttributes({-1, from.path()}, {-1, to.path()});
        if (::fchmodat(to.folder, to.name.c_str(), mode, 0) != 0) {
            throw failure(job.shown, "given its mode", errno);
        }
        keepTimes(job.info, -1, to.folder, to.name, job.shown);
    }

    // Each folder's attributes once everything inside it is in place, the deepest first.
    void finishFolders() {
        for (auto folder = folders_.rbegin(); folder != folders_.rend(); ++folder) {
            check();
            const UniqueFd source(
                openBeneath(sourceRoot_.get(), folder->source, O_RDONLY | O_DIRECTORY));
            const UniqueFd copy(openBeneath(into_.fd(), folder->destination, O_RDONLY | O_DIRECTORY));
            if (!source || !copy) {
                throw failure(folder->shown, source ? "written" : "read", errno);
            }
            const mode_t mode = keepOwner(folder->info, copy.get(), -1, "");
            copyExtendedAttributes({source.get(), {}}, {copy.get(), {}});
            if (::fchmod(copy.get(), mode) != 0) {
                throw failure(folder->shown, "given its mode", errno);
            }
            keepTimes(folder->info, copy.get(), -1, "", folder->shown);
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
            options_.progress(done_.load(), total_);
        }
    }

    const std::filesystem::path& from_;
    const Folder& into_;
    const std::string& name_;
    const ContentCopier::Options& options_;

    UniqueFd sourceRoot_;
    TreeVerifier::Manifest manifest_;
    std::vector<Job> jobs_;
    std::vector<std::string> keys_;  // each job's manifest key
    std::vector<std::pair<std::size_t, std::size_t>> tasks_;  // (job, block)
    std::vector<Job> folders_;
    std::map<std::pair<dev_t, ino_t>, std::size_t> linkedFiles_;  // → the job copying it
    std::vector<std::pair<std::size_t, Job>> hardLinks_;             // (that job, one more name)
    std::mutex flightsLock_;
    std::map<std::size_t, std::unique_ptr<FileInFlight>> flights_;

    std::int64_t total_ = 0;
    std::atomic<std::int64_t> done_{0};
    std::atomic<std::int64_t> written_{0};
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
