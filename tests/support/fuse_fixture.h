#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "checks/open_files.h"
#include "process/disk_image_tool.h"
#include "support/temp_folder.h"

namespace tessela::testing {

// A fixture for tests that mount real gocryptfs volumes. It skips the test when FUSE cannot be
// used here, gives a disk image tool with a cheap key derivation, and at the end unmounts every
// gocryptfs volume mounted below its temporary folder and ends its daemon, also when the test
// failed.
class FuseTest : public ::testing::Test {
  protected:
    static constexpr const char* password = "correct horse battery";
    static constexpr int fastScryptCost = 10;

    void SetUp() override;
    void TearDown() override;

    // A new image at temp/NAME.sparsebundle holding the given password.
    std::filesystem::path createImage(const std::string& name,
                                      const std::string& imagePassword = password);
    // An empty folder to mount on.
    std::filesystem::path makeMountPoint(const std::string& name);
    // Whether something is mounted at `mountPoint` right now.
    [[nodiscard]] bool isMounted(const std::filesystem::path& mountPoint) const;

    TempFolder temp;
    DiskImageTool tool{DiskImageTool::Tools{.blockers = OpenFiles::blockerCheck()}, fastScryptCost};
};

}  // namespace tessela::testing
