#include "checks/cloud_files.h"

#include <gtest/gtest.h>

#include "support/temp_folder.h"

namespace tessela {
namespace {

using Status = CloudFiles::DownloadingStatus;

TEST(CloudFilesTest, PlaceholderNamesAlwaysNeedDownload) {
    EXPECT_TRUE(CloudFiles::needsDownload(".Report.pdf.icloud", false, std::nullopt));
    EXPECT_TRUE(CloudFiles::needsDownload(".a.icloud", false, std::nullopt));
    EXPECT_FALSE(CloudFiles::needsDownload(".icloud", true, std::nullopt));
    EXPECT_FALSE(CloudFiles::needsDownload("Report.pdf.icloud", false, std::nullopt));
    EXPECT_FALSE(CloudFiles::needsDownload("Report.pdf", false, Status::notDownloaded));
    EXPECT_FALSE(CloudFiles::needsDownload("Report.pdf", true, std::nullopt));
    EXPECT_FALSE(CloudFiles::needsDownload("Report.pdf", true, Status::current));
    EXPECT_TRUE(CloudFiles::needsDownload("Report.pdf", true, Status::downloaded));
    EXPECT_TRUE(CloudFiles::needsDownload("Report.pdf", true, Status::notDownloaded));
}

TEST(CloudFilesTest, PlaceholderNamesAreOrdinaryFilesWithoutACloudService) {
    testing::TempFolder temp;
    testing::writeFile(temp / "Item/sub/.deep.pdf.icloud", "");
    testing::writeFile(temp / ".Solo.pdf.icloud", "");
    EXPECT_TRUE(CloudFiles::notDownloaded(temp / "Item").empty());
    EXPECT_TRUE(CloudFiles::notDownloaded(temp / ".Solo.pdf.icloud").empty());
    EXPECT_EQ(CloudFiles::downloadTarget(temp / "sub/.deep.pdf.icloud"), temp / "sub/deep.pdf");
}

}  // namespace
}  // namespace tessela
