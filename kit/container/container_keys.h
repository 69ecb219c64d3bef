#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "container/secret_bytes.h"
#include "files/file_system.h"
#include "files/folder.h"

struct evp_cipher_ctx_st;

namespace tessela {

// The layout of a container as gocryptfs writes it (its forward mode, with the options
// `gocryptfs -init` takes by default here), for the code that writes and reads one without
// mounting it:
// - a file is an 18-byte header (format version 2, a random 16-byte file ID) followed by its
//   content in blocks of 4096 bytes, each sealed with AES-256-GCM under a fresh random 16-byte
//   IV, the block's number and the file ID as associated data: IV, sealed bytes, 16-byte tag.
//   An empty file is empty (no header); a block that is all zero bytes on disk is a hole and
//   reads as zeros;
// - every folder holds "gocryptfs.diriv", 16 random bytes that tweak the names in it: a name is
//   padded (PKCS #7), enciphered with EME (AES-256) and written in URL-safe Base64 without
//   padding; one longer than 255 bytes is stored as "gocryptfs.longname." and the Base64 of its
//   SHA-256, with the full name in a file of that name plus ".name";
// - a symbolic link's target, and an extended attribute's value, are sealed as block 0 without
//   a file ID (the target then in Base64); an attribute "user.X" is stored as
//   "user.gocryptfs." and its name enciphered with the fixed tweak "xattr_name_iv_xx";
// - "gocryptfs.conf" holds the 32-byte master key, sealed as block 0 under a key derived with
//   scrypt from the password; the content and name keys are derived from the master key with
//   HKDF-SHA256.
namespace container {

inline constexpr std::size_t blockSize = 4096;
inline constexpr std::size_t ivSize = 16;
inline constexpr std::size_t tagSize = 16;
inline constexpr std::size_t sealedBlockSize = blockSize + ivSize + tagSize;
inline constexpr std::size_t fileIdSize = 16;
inline constexpr std::size_t headerSize = 2 + fileIdSize;
inline constexpr std::size_t longNameLimit = 255;
inline constexpr std::string_view configName = "gocryptfs.conf";
inline constexpr std::string_view dirIvName = "gocryptfs.diriv";
inline constexpr std::string_view longNamePrefix = "gocryptfs.longname.";
inline constexpr std::string_view longNameSuffix = ".name";
inline constexpr std::string_view attributePrefix = "user.gocryptfs.";

using FileId = std::array<unsigned char, fileIdSize>;
using DirIv = std::array<unsigned char, 16>;

// The bytes a file of `plainSize` bytes takes in the container.
[[nodiscard]] std::uint64_t sealedSize(std::uint64_t plainSize) noexcept;
// The content's size for a file of `sealed` bytes; none for a size no file can have.
[[nodiscard]] std::optional<std::uint64_t> plainSize(std::uint64_t sealed) noexcept;
// Bytes from the system's random source (getrandom). Throws std::system_error.
void randomBytes(std::span<unsigned char> bytes);
// A file's header: the version and `id`.
[[nodiscard]] std::array<unsigned char, headerSize> header(const FileId& id) noexcept;

}  // namespace container

// A container whose settings ask for something this code does not write or read (a feature
// flag, a key size, another format version): the caller uses the mount instead. what() says
// what, as a sentence.
class UnsupportedContainer : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The keys of one container, in memory of their own (SecretBytes), wiped when this goes.
class ContainerKeys {
  public:
    // Reads "gocryptfs.conf" in the container held open as `container` (never through a link)
    // and unwraps its master key with `password`. Throws UnsupportedContainer for settings this
    // code does not know, TesselaError::wrongPassword() when the password does not open it,
    // TesselaError::diskImage() when the file cannot be read or is damaged.
    [[nodiscard]] static ContainerKeys unlock(const Folder& container, std::string_view password);
    // The keys derived from a master key (32 bytes).
    [[nodiscard]] static ContainerKeys fromMasterKey(std::span<const unsigned char> master);

    // A name as stored in the folder whose tweak is `iv` (before any long-name shortening).
    [[nodiscard]] std::string sealName(std::string_view plain, const container::DirIv& iv) const;
    // The name a stored name stands for; none when it is not one this key sealed there, or not
    // a name a file can have.
    [[nodiscard]] std::optional<std::string> openName(std::string_view sealed,
                                                      const container::DirIv& iv) const;
    // The short name that stands in for a sealed name longer than the limit.
    [[nodiscard]] static std::string longName(std::string_view sealedName);
    // The name `sealed` is stored under in its folder: itself, or its long name.
    [[nodiscard]] static std::string storedName(std::string sealed);
    // Whether a stored name has the form of a sealed one (Base64 of whole cipher blocks), as
    // opposed to a file put beside the content under a name of its own.
    [[nodiscard]] static bool hasSealedForm(std::string_view stored);

    // An extended attribute's name as stored ("user.gocryptfs.…"), and back.
    [[nodiscard]] std::string sealAttributeName(std::string_view plain) const;
    [[nodiscard]] std::optional<std::string> openAttributeName(std::string_view sealed) const;
    // A small value sealed on its own (a link's target, an attribute's value), and back.
    [[nodiscard]] std::string sealValue(std::string_view plain) const;
    [[nodiscard]] std::optional<std::string> openValue(std::string_view sealed) const;
    // A link's target as stored (sealed, then in Base64), and back.
    [[nodiscard]] std::string sealTarget(std::string_view plain) const;
    [[nodiscard]] std::optional<std::string> openTarget(std::string_view stored) const;

    [[nodiscard]] const SecretBytes& contentKey() const noexcept { return content_; }
    [[nodiscard]] const SecretBytes& nameKey() const noexcept { return names_; }

  private:
    ContainerKeys();

    SecretBytes content_;
    SecretBytes names_;
};

// Seals and opens content blocks with one cipher context, set up once: one per thread. The
// context's key schedule lives in the crypto library's own memory, wiped when this goes: keep
// one no longer than the keys are needed.
class BlockCipher {
  public:
    explicit BlockCipher(const ContainerKeys& keys);
    ~BlockCipher();
    BlockCipher(const BlockCipher&) = delete;
    BlockCipher& operator=(const BlockCipher&) = delete;

    // Seals `plain` (a block; a small value on its own) as block `number` of the file `id`
    // (16 bytes, or empty: none) into
    // `out`, which takes plain.size() + ivSize + tagSize bytes, under a fresh random IV.
    void seal(std::span<const unsigned char> plain, std::uint64_t number,
              std::span<const unsigned char> id, unsigned char* out);
    // Opens a sealed block into `out` (sealed.size() - ivSize - tagSize bytes); false when it
    // is not what this key sealed as that block of that file.
    [[nodiscard]] bool open(std::span<const unsigned char> sealed, std::uint64_t number,
                            std::span<const unsigned char> id, unsigned char* out);

  private:
    evp_cipher_ctx_st* encrypt_ = nullptr;
    evp_cipher_ctx_st* decrypt_ = nullptr;
};

namespace container {

// The tweak of the names in the container's folder held open as `folder` (a descriptor, `shown`
// naming it in errors). Throws std::system_error.
[[nodiscard]] DirIv dirIvOf(const Folder& folder);
[[nodiscard]] DirIv dirIvOf(int folder, const std::string& shown);
// The full sealed name a long name's name file `name` holds in the folder held open as `folder`;
// none when it is missing, not a regular file, or not a name.
[[nodiscard]] std::optional<std::string> readNameFile(int folder, const std::string& name);
// Creates the file `name` (one that needs no long name) in the container's folder `folder`,
// exclusively and through the seam, holding `content` sealed as the mount would store it.
// Throws std::system_error.
void writeSealedFile(FileSystem& fileSystem, const Folder& folder, const ContainerKeys& keys,
                     std::string_view name, std::string_view content, mode_t mode);

}  // namespace container

}  // namespace tessela
