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

TEST(CloudFilesTest, FindsPlaceholdersInWalkOrder) {
    testing::TempFolder temp;
    testing::writeFile(temp / "Item/plain.txt", "");
    testing::writeFile(temp / "Item/sub/.deep.pdf.icloud", "");
    EXPECT_EQ(CloudFiles::notDownloaded(temp / "Item"),
              std::vector<std::filesystem::path>{temp / "Item/sub/.deep.pdf.icloud"});
    EXPECT_TRUE(CloudFiles::notDownloaded(temp / "missing").empty());
    testing::writeFile(temp / ".Solo.pdf.icloud", "");
    EXPECT_EQ(CloudFiles::notDownloaded(temp / ".Solo.pdf.icloud").size(), 1U);
    EXPECT_EQ(CloudFiles::downloadTarget(temp / "sub/.deep.pdf.icloud"), temp / "sub/deep.pdf");
    EXPECT_EQ(CloudFiles::downloadTarget(temp / "plain.txt"), temp / "plain.txt");
    CloudFiles::requestDownload({temp / ".Solo.pdf.icloud"});
}

}  // namespace
}  // namespace tessela
