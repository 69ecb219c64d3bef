#include "container/container_keys.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "errors/tessela_error.h"
#include "posix/unique_fd.h"
#include "records/base64.h"
#include "support/fuse_fixture.h"

namespace tessela {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

container::DirIv ivOf(const fs::path& folder) {
    const std::string bytes = readFile(folder / container::dirIvName);
    container::DirIv iv{};
    EXPECT_EQ(bytes.size(), iv.size());
    std::copy_n(bytes.begin(), std::min(bytes.size(), iv.size()), iv.begin());
    return iv;
}

std::span<const unsigned char> bytesOf(const std::string& text) {
    return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

// A file's content as the keys open it: header, then each block under its number and the
// file's ID. None when a block does not open.
std::optional<std::string> openFile(const ContainerKeys& keys, const fs::path& file) {
    const std::string sealed = readFile(file);
    if (sealed.empty()) {
        return std::string();
    }
    const auto size = container::plainSize(sealed.size());
    if (!size || sealed.compare(0, 2, std::string("\0\2", 2)) != 0) {
        return std::nullopt;
    }
    const std::string id = sealed.substr(2, container::fileIdSize);
    BlockCipher cipher(keys);
    std::string plain(*size, '\0');
    for (std::uint64_t block = 0; block * container::blockSize < *size; ++block) {
        const std::size_t start = container::headerSize + block * container::sealedBlockSize;
        const std::string one = sealed.substr(start, container::sealedBlockSize);
        const std::size_t length = one.size() - container::ivSize - container::tagSize;
        if (one == std::string(one.size(), '\0')) {
            continue;  // a hole
        }
        if (!cipher.open(
                bytesOf(one), block, bytesOf(id),
                reinterpret_cast<unsigned char*>(plain.data() + block * container::blockSize))) {
            return std::nullopt;
        }
        (void)length;
    }
    return plain;
}

// The plain names in a folder of the container, each with its stored name (long names
// resolved through their ".name" file).
std::map<std::string, std::string> namesIn(const ContainerKeys& keys, const fs::path& folder) {
    const container::DirIv iv = ivOf(folder);
    std::map<std::string, std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string stored = entry.path().filename().string();
        if (stored.starts_with("gocryptfs.") && !stored.starts_with(container::longNamePrefix)) {
            continue;
        }
        if (stored.ends_with(container::longNameSuffix)) {
            continue;
        }
        const std::string sealed = stored.starts_with(container::longNamePrefix)
                                       ? readFile(entry.path().string() + ".name")
                                       : stored;
        if (stored.starts_with(container::longNamePrefix)) {
            EXPECT_EQ(ContainerKeys::longName(sealed), stored);
        }
        const auto plain = keys.openName(sealed, iv);
        EXPECT_TRUE(plain.has_value()) << stored;
        names[plain.value_or("?")] = stored;
    }
    return names;
}

const std::string longPlain(200, 'L');
const std::string oddName = "caf\xe9 \xff.txt";  // not UTF-8

class ContainerKeysTest : public testing::FuseTest {
  protected:
    // What the torture files hold.
    std::map<std::string, std::string> files() const {
        return {{"empty", ""},
                {"exactly a block", std::string(4096, 'a')},
                {"one past a block", std::string(4096, 'b') + "c"},
                {oddName, "odd"},
                {longPlain, "long"}};
    }
};

// What gocryptfs writes through its mount, the keys read: names (long and not UTF-8), content,
// holes, a link's target, an attribute, a folder's own tweak.
TEST_F(ContainerKeysTest, ReadsWhatTheMountWrote) {
    const fs::path image = createImage("Read");
    const fs::path mount = makeMountPoint("mount");
    tool.attach(image, mount, password, false);
    for (const auto& [name, content] : files()) {
        writeFile(mount / name, content);
    }
    fs::create_directory(mount / "Folder");
    writeFile(mount / "Folder/inner", "inner");
    {
        const UniqueFd sparse(::open((mount / "sparse").c_str(), O_WRONLY | O_CREAT, 0600));
        ASSERT_EQ(::pwrite(sparse.get(), "end", 3, 3 * 4096 + 5), 3);
    }
    fs::create_symlink("../a target", mount / "link");
    ASSERT_EQ(::setxattr((mount / "empty").c_str(), "user.note", "value", 5, 0), 0);
    tool.detach(mount, false);

    const ContainerKeys keys = ContainerKeys::unlock(Folder::open(image), password);
    const auto names = namesIn(keys, image);
    for (const auto& [name, content] : files()) {
        ASSERT_TRUE(names.contains(name)) << name;
        EXPECT_EQ(openFile(keys, image / names.at(name)), content) << name;
    }
    EXPECT_TRUE(names.at(longPlain).starts_with(container::longNamePrefix));
    EXPECT_EQ(openFile(keys, image / names.at("sparse")), std::string(3 * 4096 + 5, '\0') + "end");
    const fs::path folder = image / names.at("Folder");
    EXPECT_EQ(openFile(keys, folder / namesIn(keys, folder).at("inner")), "inner");
    const auto target = base64::decodeUrl(fs::read_symlink(image / names.at("link")).string());
    ASSERT_TRUE(target.has_value());
    EXPECT_EQ(keys.openValue(std::string(target->begin(), target->end())), "../a target");
    char stored[256];
    const fs::path empty = image / names.at("empty");
    const ssize_t listed = ::listxattr(empty.c_str(), stored, sizeof stored);
    ASSERT_GT(listed, 0);
    const std::string attribute(stored);
    EXPECT_EQ(keys.openAttributeName(attribute), "user.note");
    std::string value(256, '\0');
    value.resize(static_cast<std::size_t>(
        ::getxattr(empty.c_str(), attribute.c_str(), value.data(), value.size())));
    EXPECT_EQ(keys.openValue(value), "value");

    // Tampering: a flipped bit, a block moved to another position or into another file.
    std::string sealed = readFile(image / names.at("one past a block"));
    BlockCipher cipher(keys);
    std::vector<unsigned char> out(container::blockSize);
    const std::string id = sealed.substr(2, container::fileIdSize);
    const std::string first = sealed.substr(container::headerSize, container::sealedBlockSize);
    EXPECT_TRUE(cipher.open(bytesOf(first), 0, bytesOf(id), out.data()));
    EXPECT_FALSE(cipher.open(bytesOf(first), 1, bytesOf(id), out.data()));
    const std::string otherId = readFile(image / names.at("exactly a block")).substr(2, 16);
    EXPECT_FALSE(cipher.open(bytesOf(first), 0, bytesOf(otherId), out.data()));
    std::string flipped = first;
    flipped[100] = static_cast<char>(flipped[100] ^ 1);
    EXPECT_FALSE(cipher.open(bytesOf(flipped), 0, bytesOf(id), out.data()));
    // A name sealed under another folder's tweak does not open here.
    EXPECT_EQ(keys.openName(names.at("Folder"), ivOf(folder)), std::nullopt);
}

// What the keys write by hand, gocryptfs reads through a read-only mount.
TEST_F(ContainerKeysTest, WritesWhatTheMountReads) {
    const fs::path image = createImage("Write");
    const ContainerKeys keys = ContainerKeys::unlock(Folder::open(image), password);
    BlockCipher cipher(keys);
    const auto place = [&](const fs::path& folder, const std::string& name) {
        const std::string sealed = keys.sealName(name, ivOf(folder));
        if (sealed.size() <= container::longNameLimit) {
            return folder / sealed;
        }
        writeFile(folder / (ContainerKeys::longName(sealed) + ".name"), sealed);
        return folder / ContainerKeys::longName(sealed);
    };
    const auto write = [&](const fs::path& file, const std::string& content) {
        std::string sealed;
        if (!content.empty()) {
            container::FileId id{};
            container::randomBytes(id);
            const auto head = container::header(id);
            sealed.assign(head.begin(), head.end());
            for (std::size_t start = 0; start < content.size(); start += container::blockSize) {
                const std::string part = content.substr(start, container::blockSize);
                std::string block(part.size() + container::ivSize + container::tagSize, '\0');
                cipher.seal(bytesOf(part), start / container::blockSize, id,
                            reinterpret_cast<unsigned char*>(block.data()));
                sealed += block;
            }
        }
        EXPECT_EQ(sealed.size(), container::sealedSize(content.size()));
        writeFile(file, sealed);
    };
    for (const auto& [name, content] : files()) {
        write(place(image, name), content);
    }
    const fs::path folder = place(image, "Folder");
    fs::create_directory(folder);
    container::DirIv iv{};
    container::randomBytes(iv);
    writeFile(folder / container::dirIvName, std::string(iv.begin(), iv.end()));
    write(place(folder, "inner"), "inner");
    const std::string target = keys.sealValue("../a target");
    fs::create_symlink(base64::encodeUrl({target.begin(), target.end()}), place(image, "link"));
    const std::string attribute = keys.sealAttributeName("user.note");
    const std::string value = keys.sealValue("value");
    ASSERT_EQ(
        ::setxattr(place(image, "empty").c_str(), attribute.c_str(), value.data(), value.size(), 0),
        0);

    const fs::path mount = makeMountPoint("mount");
    tool.attach(image, mount, password, true);
    for (const auto& [name, content] : files()) {
        EXPECT_EQ(readFile(mount / name), content) << name;
    }
    EXPECT_EQ(readFile(mount / "Folder/inner"), "inner");
    EXPECT_EQ(fs::read_symlink(mount / "link"), "../a target");
    char read[16] = {};
    EXPECT_EQ(::getxattr((mount / "empty").c_str(), "user.note", read, sizeof read), 5);
    EXPECT_STREQ(read, "value");
    tool.detach(mount, false);
}

// A wrong password is said as such; settings this code does not write are refused with a
// sentence, so that the caller uses the mount; damaged settings are damage.
TEST_F(ContainerKeysTest, RefusesWrongPasswordsUnknownSettingsAndDamage) {
    const fs::path image = createImage("Settings");
    EXPECT_THROW(
        {
            try {
                (void)ContainerKeys::unlock(Folder::open(image), "not the password");
            } catch (const TesselaError& error) {
                EXPECT_EQ(error.errorCase(), TesselaError::Case::wrongPassword);
                throw;
            }
        },
        TesselaError);
    const std::string original = readFile(image / container::configName);
    const auto rewrite = [&](const std::string& from, const std::string& to) {
        std::string changed = original;
        changed.replace(changed.find(from), from.size(), to);
        fs::permissions(image / container::configName,
                        fs::perms::owner_read | fs::perms::owner_write);
        writeFile(image / container::configName, changed);
    };
    rewrite("\"Raw64\"", "\"Raw64\", \"PlaintextNames\"");
    try {
        (void)ContainerKeys::unlock(Folder::open(image), password);
        ADD_FAILURE() << "an unknown flag was accepted";
    } catch (const UnsupportedContainer& error) {
        EXPECT_STREQ(error.what(),
                     "The container uses features this version does not write: PlaintextNames.");
    }
    rewrite("\"HKDF\",", "");
    EXPECT_THROW((void)ContainerKeys::unlock(Folder::open(image), password), UnsupportedContainer);
    rewrite("\"EncryptedKey\": \"", "\"EncryptedKey\": \"!");
    EXPECT_THROW((void)ContainerKeys::unlock(Folder::open(image), password), TesselaError);
    fs::remove(image / container::configName);
    fs::create_symlink(temp.path() / "elsewhere", image / container::configName);
    EXPECT_THROW((void)ContainerKeys::unlock(Folder::open(image), password), TesselaError);
}

}  // namespace
}  // namespace tessela
