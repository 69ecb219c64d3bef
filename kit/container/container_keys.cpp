#include "container/container_keys.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <system_error>
#include <vector>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/sha.h>
#include <nlohmann/json.hpp>

#include "errors/tessela_error.h"
#include "files/file_io.h"
#include "posix/unique_fd.h"
#include "records/base64.h"

namespace tessela {

namespace container {

std::uint64_t sealedSize(std::uint64_t plainSize) noexcept {
    if (plainSize == 0) {
        return 0;
    }
    const std::uint64_t blocks = (plainSize + blockSize - 1) / blockSize;
    return headerSize + plainSize + blocks * (ivSize + tagSize);
}

std::optional<std::uint64_t> plainSize(std::uint64_t sealed) noexcept {
    if (sealed == 0) {
        return 0;
    }
    if (sealed < headerSize) {
        return std::nullopt;
    }
    const std::uint64_t body = sealed - headerSize;
    const std::uint64_t whole = body / sealedBlockSize;
    const std::uint64_t rest = body % sealedBlockSize;
    if (rest != 0 && rest <= ivSize + tagSize) {
        return std::nullopt;  // a last block without content
    }
    return whole * blockSize + (rest == 0 ? 0 : rest - ivSize - tagSize);
}

void randomBytes(std::span<unsigned char> bytes) {
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t count = ::getrandom(bytes.data() + got, bytes.size() - got, 0);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        got += static_cast<std::size_t>(count);
    }
}

std::array<unsigned char, headerSize> header(const FileId& id) noexcept {
    std::array<unsigned char, headerSize> bytes{0, 2};
    std::copy(id.begin(), id.end(), bytes.begin() + 2);
    return bytes;
}

}  // namespace container

namespace {

using Block = std::array<unsigned char, 16>;
using namespace std::string_view_literals;

// The settings gocryptfs -init writes here; a container with any other set is not one this
// code writes or reads.
const std::set<std::string> knownFlags = {"HKDF",     "GCMIV128",  "DirIV",
                                          "EMENames", "LongNames", "Raw64"};
constexpr std::string_view contentInfo = "AES-GCM file content encryption";
constexpr std::string_view namesInfo = "EME filename encryption";
constexpr Block attributeTweak = {'x', 'a', 't', 't', 'r', '_', 'n', 'a',
                                  'm', 'e', '_', 'i', 'v', '_', 'x', 'x'};
constexpr std::size_t keySize = 32;

const unsigned char* bytesOf(std::string_view text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

struct CipherContext {
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    CipherContext() {
        if (context == nullptr) {
            throw std::bad_alloc();
        }
    }
    ~CipherContext() { EVP_CIPHER_CTX_free(context); }
    CipherContext(const CipherContext&) = delete;
    CipherContext& operator=(const CipherContext&) = delete;
};

// AES-256 on single blocks, one direction.
class BlockAes {
  public:
    BlockAes(std::span<const unsigned char> key, bool encrypt) {
        if (EVP_CipherInit_ex(cipher_.context, EVP_aes_256_ecb(), nullptr, key.data(), nullptr,
                              encrypt ? 1 : 0) != 1 ||
            EVP_CIPHER_CTX_set_padding(cipher_.context, 0) != 1) {
            throw std::runtime_error("AES could not be set up");
        }
    }
    [[nodiscard]] Block operator()(const Block& in) {
        Block out{};
        int length = 0;
        if (EVP_CipherUpdate(cipher_.context, out.data(), &length, in.data(), 16) != 1 ||
            length != 16) {
            throw std::runtime_error("AES failed");
        }
        return out;
    }

  private:
    CipherContext cipher_;
};

Block times2(const Block& in) {
    Block out{};
    out[0] = static_cast<unsigned char>(in[0] << 1);
    if (in[15] >= 128) {
        out[0] ^= 135;
    }
    for (std::size_t index = 1; index < 16; ++index) {
        out[index] = static_cast<unsigned char>((in[index] << 1) | (in[index - 1] >> 7));
    }
    return out;
}

Block operator^(const Block& first, const Block& second) {
    Block out{};
    for (std::size_t index = 0; index < 16; ++index) {
        out[index] = first[index] ^ second[index];
    }
    return out;
}

// EME (ECB-mix-ECB, Halevi and Rogaway): a tweakable wide-block cipher over 1 to 128 blocks,
// each bit of the output depending on every bit of the input.
std::vector<unsigned char> eme(std::span<const unsigned char> key, const Block& tweak,
                               std::span<const unsigned char> data, bool encrypt) {
    const std::size_t count = data.size() / 16;
    if (count == 0 || count > 128 || data.size() % 16 != 0) {
        throw std::invalid_argument("EME takes 1 to 128 whole blocks");
    }
    BlockAes forward(key, true);
    BlockAes cipher(key, encrypt);
    std::vector<Block> masks(count);
    Block mask = times2(forward(Block{}));
    for (Block& each : masks) {
        each = mask;
        mask = times2(mask);
    }
    std::vector<Block> mixed(count);
    Block sum = tweak;
    for (std::size_t index = 0; index < count; ++index) {
        Block in{};
        std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(index * 16), 16, in.begin());
        mixed[index] = cipher(in ^ masks[index]);
        sum = sum ^ mixed[index];
    }
    const Block sumCiphered = cipher(sum);
    Block multiplier = sum ^ sumCiphered;
    Block first = sumCiphered ^ tweak;
    for (std::size_t index = 1; index < count; ++index) {
        multiplier = times2(multiplier);
        mixed[index] = mixed[index] ^ multiplier;
        first = first ^ mixed[index];
    }
    mixed[0] = first;
    std::vector<unsigned char> out(data.size());
    for (std::size_t index = 0; index < count; ++index) {
        const Block block = cipher(mixed[index]) ^ masks[index];
        std::copy(block.begin(), block.end(),
                  out.begin() + static_cast<std::ptrdiff_t>(index * 16));
    }
    // The masks are the key's own (multiples of the cipher of zero): wiped, not left behind.
    OPENSSL_cleanse(masks.data(), masks.size() * sizeof(Block));
    OPENSSL_cleanse(&mask, sizeof mask);
    clearVectorRegisters();  // the cipher's round keys, the first of them the key itself
    return out;
}

void hkdf(std::span<const unsigned char> key, std::string_view info, SecretBytes& out) {
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr);
    std::size_t length = out.size();
    const bool done =
        context != nullptr && EVP_PKEY_derive_init(context) == 1 &&
        EVP_PKEY_CTX_set_hkdf_md(context, EVP_sha256()) == 1 &&
        EVP_PKEY_CTX_set1_hkdf_key(context, key.data(), static_cast<int>(key.size())) == 1 &&
        EVP_PKEY_CTX_add1_hkdf_info(context, bytesOf(info), static_cast<int>(info.size())) == 1 &&
        EVP_PKEY_derive(context, out.bytes().data(), &length) == 1 && length == out.size();
    EVP_PKEY_CTX_free(context);
    if (!done) {
        throw std::runtime_error("HKDF failed");
    }
}

// Associated data of a block: its number (big-endian), then the file ID.
std::array<unsigned char, 8 + container::fileIdSize> blockData(std::uint64_t number,
                                                               std::span<const unsigned char> id,
                                                               std::size_t& length) {
    if (!id.empty() && id.size() != container::fileIdSize) {
        throw std::invalid_argument("a file ID has 16 bytes");
    }
    std::array<unsigned char, 8 + container::fileIdSize> data{};
    for (std::size_t index = 0; index < 8; ++index) {
        data[index] = static_cast<unsigned char>(number >> (56 - 8 * index));
    }
    std::copy(id.begin(), id.end(), data.begin() + 8);
    length = 8 + id.size();
    return data;
}

// GCM with a 16-byte IV and a given key, for the few values opened once (the master key).
bool openOnce(std::span<const unsigned char> key, std::span<const unsigned char> sealed,
              unsigned char* out) {
    if (sealed.size() < container::ivSize + container::tagSize) {
        return false;
    }
    const CipherContext cipher;
    EVP_CIPHER_CTX* context = cipher.context;
    std::size_t dataLength = 0;
    const auto data = blockData(0, {}, dataLength);
    const std::size_t length = sealed.size() - container::ivSize - container::tagSize;
    int written = 0;
    std::array<unsigned char, container::tagSize> tag{};
    std::copy_n(sealed.end() - container::tagSize, container::tagSize, tag.begin());
    return EVP_DecryptInit_ex(context, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
           EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_SET_IVLEN, container::ivSize, nullptr) == 1 &&
           EVP_DecryptInit_ex(context, nullptr, nullptr, key.data(), sealed.data()) == 1 &&
           EVP_DecryptUpdate(context, nullptr, &written, data.data(),
                             static_cast<int>(dataLength)) == 1 &&
           EVP_DecryptUpdate(context, out, &written, sealed.data() + container::ivSize,
                             static_cast<int>(length)) == 1 &&
           EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_SET_TAG, container::tagSize, tag.data()) ==
               1 &&
           EVP_DecryptFinal_ex(context, out + written, &written) == 1;
}

// Opens `name` in `folder` for reading when it is a regular file: never through a link, and
// never waiting on a FIFO planted there. -1 with errno otherwise.
int openRegular(int folder, std::string_view name) {
    UniqueFd file(::openat(folder, std::string(name).c_str(),
                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!file || ::fstat(file.get(), &info) != 0) {
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    return file.release();
}

std::string readConfig(const Folder& container) {
    const UniqueFd file(openRegular(container.fd(), container::configName));
    const auto unreadable = [](int error) {
        return TesselaError::diskImage(
            "Could not read the container's settings: " + std::string(std::strerror(error)) + ".");
    };
    if (!file) {
        throw unreadable(errno);
    }
    constexpr std::size_t limit = 65536;
    std::string text;
    try {
        text = posix::readAll(file.get(), limit + 1, container.path() / container::configName);
    } catch (const std::system_error& error) {
        throw unreadable(error.code().value());
    }
    if (text.size() > limit) {
        throw TesselaError::diskImage("The container's settings are damaged.");
    }
    return text;
}

}  // namespace

ContainerKeys::ContainerKeys() : content_(keySize), names_(keySize) {}

ContainerKeys ContainerKeys::fromMasterKey(std::span<const unsigned char> master) {
    ContainerKeys keys;
    hkdf(master, contentInfo, keys.content_);
    hkdf(master, namesInfo, keys.names_);
    return keys;
}

ContainerKeys ContainerKeys::unlock(const Folder& container, std::string_view password) {
    const nlohmann::json config = nlohmann::json::parse(readConfig(container), nullptr, false);
    const auto damaged = [] {
        return TesselaError::diskImage("The container's settings are damaged.");
    };
    if (!config.is_object()) {
        throw damaged();
    }
    const auto member = [](const nlohmann::json& object, const char* key) -> const nlohmann::json* {
        const auto found = object.find(key);
        return found == object.end() ? nullptr : &*found;
    };
    const auto text = [&](const nlohmann::json& object, const char* key) {
        const nlohmann::json* found = member(object, key);
        if (found == nullptr || !found->is_string()) {
            throw damaged();
        }
        return found->get<std::string>();
    };
    for (const auto& [key, value] : config.items()) {
        const bool defaultLongNames =
            key == "LongNameMax" && value.is_number_integer() &&
            (value.get<std::int64_t>() == 0 || value.get<std::int64_t>() == 255);
        if (key != "Creator" && key != "EncryptedKey" && key != "ScryptObject" &&
            key != "Version" && key != "FeatureFlags" && !defaultLongNames) {
            throw UnsupportedContainer(
                "The container has a setting this version does not write: " + key + ".");
        }
    }
    const nlohmann::json* version = member(config, "Version");
    if (version == nullptr || !version->is_number_integer() || version->get<std::int64_t>() != 2) {
        throw UnsupportedContainer("The container's format version is not 2.");
    }
    std::set<std::string> flags;
    if (const nlohmann::json* listed = member(config, "FeatureFlags"); listed != nullptr) {
        if (!listed->is_array()) {
            throw damaged();
        }
        for (const auto& flag : *listed) {
            if (!flag.is_string()) {
                throw damaged();
            }
            flags.insert(flag.get<std::string>());
        }
    }
    if (flags != knownFlags) {
        std::string named;
        for (const std::string& flag : flags) {
            if (!knownFlags.contains(flag)) {
                named += (named.empty() ? "" : ", ") + flag;
            }
        }
        throw UnsupportedContainer(
            named.empty()
                ? "The container lacks a feature this version writes."
                : "The container uses features this version does not write: " + named + ".");
    }
    const nlohmann::json* scrypt = member(config, "ScryptObject");
    if (scrypt == nullptr || !scrypt->is_object()) {
        throw damaged();
    }
    const auto number = [&](const char* key) -> std::uint64_t {
        const nlohmann::json* found = member(*scrypt, key);
        if (found == nullptr || !found->is_number_unsigned()) {
            throw damaged();
        }
        return found->get<std::uint64_t>();
    };
    const std::uint64_t cost = number("N");
    const std::uint64_t blockFactor = number("R");
    const std::uint64_t parallel = number("P");
    if (number("KeyLen") != keySize) {
        throw UnsupportedContainer("The container's key is not 32 bytes long.");
    }
    // scrypt takes 128 × N × r bytes: more than a gigabyte is no setting of ours.
    if (cost < 2 || cost > (1U << 22) || blockFactor == 0 || blockFactor > 32 || parallel == 0 ||
        parallel > 16 || 128 * cost * blockFactor > (1ULL << 30)) {
        throw UnsupportedContainer("The container's password hashing settings are unusual.");
    }
    const auto salt = base64::decode(text(*scrypt, "Salt"));
    const auto wrapped = base64::decode(text(config, "EncryptedKey"));
    if (!salt || salt->empty() || !wrapped ||
        wrapped->size() != container::ivSize + keySize + container::tagSize) {
        throw damaged();
    }
    SecretBytes passwordKey(keySize);
    if (EVP_PBE_scrypt(password.data(), password.size(), salt->data(), salt->size(), cost,
                       blockFactor, parallel, 128 * cost * blockFactor * (parallel + 1) + 65536,
                       passwordKey.bytes().data(), keySize) != 1) {
        throw std::runtime_error("scrypt failed");
    }
    SecretBytes unwrapKey(keySize);
    hkdf(passwordKey.bytes(), contentInfo, unwrapKey);
    SecretBytes master(keySize);
    if (!openOnce(unwrapKey.bytes(), *wrapped, master.bytes().data())) {
        throw TesselaError::wrongPassword();
    }
    return fromMasterKey(master.bytes());
}

std::string ContainerKeys::sealName(std::string_view plain, const container::DirIv& iv) const {
    std::vector<unsigned char> padded(bytesOf(plain), bytesOf(plain) + plain.size());
    const std::size_t padding = 16 - plain.size() % 16;
    padded.insert(padded.end(), padding, static_cast<unsigned char>(padding));
    return base64::encodeUrl(eme(names_.bytes(), iv, padded, true));
}

std::optional<std::string> ContainerKeys::openName(std::string_view sealed,
                                                   const container::DirIv& iv) const {
    const auto bytes = base64::decodeUrl(sealed);
    if (!bytes || bytes->empty() || bytes->size() % 16 != 0 || bytes->size() > 128 * 16) {
        return std::nullopt;
    }
    const std::vector<unsigned char> padded = eme(names_.bytes(), iv, *bytes, false);
    const unsigned char padding = padded.back();
    if (padding == 0 || padding > 16 ||
        !std::all_of(padded.end() - padding, padded.end(),
                     [&](unsigned char each) { return each == padding; })) {
        return std::nullopt;
    }
    std::string name(padded.begin(), padded.end() - padding);
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of(std::string_view("/\0", 2)) != std::string::npos) {
        return std::nullopt;
    }
    return name;
}

std::string ContainerKeys::longName(std::string_view sealedName) {
    std::vector<std::uint8_t> digest(SHA256_DIGEST_LENGTH);
    SHA256(bytesOf(sealedName), sealedName.size(), digest.data());
    return std::string(container::longNamePrefix) + base64::encodeUrl(digest);
}

std::string ContainerKeys::storedName(std::string sealed) {
    return sealed.size() > container::longNameLimit ? longName(sealed) : sealed;
}

bool ContainerKeys::hasSealedForm(std::string_view stored) {
    const auto bytes = base64::decodeUrl(stored);
    return bytes && !bytes->empty() && bytes->size() % 16 == 0;
}

std::string ContainerKeys::sealAttributeName(std::string_view plain) const {
    return std::string(container::attributePrefix) + sealName(plain, attributeTweak);
}

std::optional<std::string> ContainerKeys::openAttributeName(std::string_view sealed) const {
    if (!sealed.starts_with(container::attributePrefix)) {
        return std::nullopt;
    }
    return openName(sealed.substr(container::attributePrefix.size()), attributeTweak);
}

std::string ContainerKeys::sealValue(std::string_view plain) const {
    BlockCipher cipher(*this);
    std::string sealed(plain.size() + container::ivSize + container::tagSize, '\0');
    cipher.seal({bytesOf(plain), plain.size()}, 0, {},
                reinterpret_cast<unsigned char*>(sealed.data()));
    return sealed;
}

std::optional<std::string> ContainerKeys::openValue(std::string_view sealed) const {
    if (sealed.size() < container::ivSize + container::tagSize) {
        return std::nullopt;
    }
    BlockCipher cipher(*this);
    std::string plain(sealed.size() - container::ivSize - container::tagSize, '\0');
    if (!cipher.open({bytesOf(sealed), sealed.size()}, 0, {},
                     reinterpret_cast<unsigned char*>(plain.data()))) {
        return std::nullopt;
    }
    return plain;
}

std::string ContainerKeys::sealTarget(std::string_view plain) const {
    const std::string sealed = sealValue(plain);
    return base64::encodeUrl({sealed.begin(), sealed.end()});
}

std::optional<std::string> ContainerKeys::openTarget(std::string_view stored) const {
    const auto sealed = base64::decodeUrl(stored);
    if (!sealed) {
        return std::nullopt;
    }
    return openValue({reinterpret_cast<const char*>(sealed->data()), sealed->size()});
}

BlockCipher::BlockCipher(const ContainerKeys& keys)
    : encrypt_(EVP_CIPHER_CTX_new()), decrypt_(EVP_CIPHER_CTX_new()) {
    const unsigned char* key = keys.contentKey().bytes().data();
    if (encrypt_ == nullptr || decrypt_ == nullptr ||
        EVP_EncryptInit_ex(encrypt_, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(encrypt_, EVP_CTRL_GCM_SET_IVLEN, container::ivSize, nullptr) != 1 ||
        EVP_EncryptInit_ex(encrypt_, nullptr, nullptr, key, nullptr) != 1 ||
        EVP_DecryptInit_ex(decrypt_, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(decrypt_, EVP_CTRL_GCM_SET_IVLEN, container::ivSize, nullptr) != 1 ||
        EVP_DecryptInit_ex(decrypt_, nullptr, nullptr, key, nullptr) != 1) {
        EVP_CIPHER_CTX_free(encrypt_);
        EVP_CIPHER_CTX_free(decrypt_);
        throw std::runtime_error("AES-GCM could not be set up");
    }
}

BlockCipher::~BlockCipher() {
    // Freeing a context wipes the key schedule it holds; the registers hold its last round
    // keys still.
    EVP_CIPHER_CTX_free(encrypt_);
    EVP_CIPHER_CTX_free(decrypt_);
    clearVectorRegisters();
}

void BlockCipher::seal(std::span<const unsigned char> plain, std::uint64_t number,
                       std::span<const unsigned char> id, unsigned char* out) {
    container::randomBytes({out, container::ivSize});
    std::size_t dataLength = 0;
    const auto data = blockData(number, id, dataLength);
    int written = 0;
    int finished = 0;
    if (EVP_EncryptInit_ex(encrypt_, nullptr, nullptr, nullptr, out) != 1 ||
        EVP_EncryptUpdate(encrypt_, nullptr, &written, data.data(), static_cast<int>(dataLength)) !=
            1 ||
        EVP_EncryptUpdate(encrypt_, out + container::ivSize, &written, plain.data(),
                          static_cast<int>(plain.size())) != 1 ||
        EVP_EncryptFinal_ex(encrypt_, out + container::ivSize + written, &finished) != 1 ||
        EVP_CIPHER_CTX_ctrl(encrypt_, EVP_CTRL_GCM_GET_TAG, container::tagSize,
                            out + container::ivSize + plain.size()) != 1) {
        throw std::runtime_error("AES-GCM failed");
    }
}

bool BlockCipher::open(std::span<const unsigned char> sealed, std::uint64_t number,
                       std::span<const unsigned char> id, unsigned char* out) {
    if (sealed.size() < container::ivSize + container::tagSize) {
        return false;
    }
    const std::size_t length = sealed.size() - container::ivSize - container::tagSize;
    std::size_t dataLength = 0;
    const auto data = blockData(number, id, dataLength);
    std::array<unsigned char, container::tagSize> tag{};
    std::copy_n(sealed.end() - container::tagSize, container::tagSize, tag.begin());
    int written = 0;
    int finished = 0;
    return EVP_DecryptInit_ex(decrypt_, nullptr, nullptr, nullptr, sealed.data()) == 1 &&
           EVP_DecryptUpdate(decrypt_, nullptr, &written, data.data(),
                             static_cast<int>(dataLength)) == 1 &&
           EVP_DecryptUpdate(decrypt_, out, &written, sealed.data() + container::ivSize,
                             static_cast<int>(length)) == 1 &&
           EVP_CIPHER_CTX_ctrl(decrypt_, EVP_CTRL_GCM_SET_TAG, container::tagSize, tag.data()) ==
               1 &&
           EVP_DecryptFinal_ex(decrypt_, out + written, &finished) == 1;
}

namespace container {

DirIv dirIvOf(const Folder& folder) {
    return dirIvOf(folder.fd(), folder.path().string());
}

DirIv dirIvOf(int folder, const std::string& shown) {
    const UniqueFd file(openRegular(folder, dirIvName));
    const int error = errno;
    DirIv iv{};
    if (!file) {
        throw std::system_error(error, std::generic_category(),
                                shown + "/" + std::string(dirIvName));
    }
    char past = 0;
    if (::read(file.get(), iv.data(), iv.size()) != static_cast<ssize_t>(iv.size()) ||
        ::read(file.get(), &past, 1) != 0) {
        throw std::system_error(EIO, std::generic_category(), shown + "/" + std::string(dirIvName));
    }
    return iv;
}

std::optional<std::string> readNameFile(int folder, const std::string& name) {
    const UniqueFd file(openRegular(folder, name));
    if (!file) {
        return std::nullopt;
    }
    // A sealed name is Base64 of at most a name's bytes and their padding: 4 KiB is plenty.
    constexpr std::size_t limit = 4096;
    std::string text;
    try {
        text = posix::readAll(file.get(), limit + 1, name);
    } catch (const std::system_error&) {
        return std::nullopt;
    }
    if (text.empty() || text.size() > limit) {
        return std::nullopt;
    }
    return text;
}

void writeSealedFile(FileSystem& fileSystem, const Folder& folder, const ContainerKeys& keys,
                     std::string_view name, std::string_view content, mode_t mode) {
    const std::string stored = keys.sealName(name, dirIvOf(folder));
    if (stored.size() > longNameLimit) {
        throw std::system_error(ENAMETOOLONG, std::generic_category(), std::string(name));
    }
    std::string sealed;
    if (!content.empty()) {
        FileId id{};
        randomBytes(id);
        const auto head = header(id);
        sealed.assign(head.begin(), head.end());
        BlockCipher cipher(keys);
        for (std::size_t start = 0; start < content.size(); start += blockSize) {
            const std::string_view part = content.substr(start, blockSize);
            const std::size_t at = sealed.size();
            sealed.resize(at + part.size() + ivSize + tagSize);
            cipher.seal({bytesOf(part), part.size()}, start / blockSize, id,
                        reinterpret_cast<unsigned char*>(sealed.data() + at));
        }
    }
    const UniqueFd file = fileSystem.createFile(folder, stored, mode);
    for (std::size_t written = 0; written < sealed.size();) {
        const ssize_t count = ::write(file.get(), sealed.data() + written, sealed.size() - written);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            throw std::system_error(count < 0 ? errno : EIO, std::generic_category(),
                                    (folder.path() / stored).string());
        }
        written += static_cast<std::size_t>(count);
    }
}

}  // namespace container

}  // namespace tessela
