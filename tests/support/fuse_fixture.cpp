#include "support/fuse_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include "process/process_runner.h"

namespace tessela::testing {

void FuseTest::SetUp() {
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        GTEST_SKIP() << "/dev/fuse is not usable by this user (the test command opens it)";
    }
    if (::access(tool.tools().gocryptfs.c_str(), X_OK) != 0) {
        GTEST_SKIP() << "gocryptfs is not installed (scripts/bootstrap installs it)";
    }
}

void FuseTest::TearDown() {
    const std::string prefix = temp.path().string() + "/";
    try {
        for (const AttachedImage& image : tool.attachedImages()) {
            if (image.mountPoint.string().starts_with(prefix)) {
                try {
                    tool.detach(image.mountPoint, true);
                } catch (const std::exception& error) {
                    ADD_FAILURE() << "could not clean up " << image.mountPoint << ": "
                                  << error.what();
                }
            }
        }
    } catch (const std::exception& error) {
        ADD_FAILURE() << "could not list mounts to clean up: " << error.what();
    }
}

std::filesystem::path FuseTest::createImage(const std::string& name,
                                            const std::string& imagePassword) {
    const std::filesystem::path image = temp / (name + ".sparsebundle");
    tool.create(image, name, imagePassword);
    return image;
}

std::filesystem::path FuseTest::makeMountPoint(const std::string& name) {
    const std::filesystem::path mountPoint = temp / name;
    std::filesystem::create_directories(mountPoint);
    return mountPoint;
}

bool FuseTest::isMounted(const std::filesystem::path& mountPoint) const {
    for (const AttachedImage& image : tool.attachedImages()) {
        if (image.mountPoint == mountPoint) {
            return true;
        }
    }
    return false;
}

}  // namespace tessela::testing
