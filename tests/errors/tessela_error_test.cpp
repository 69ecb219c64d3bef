#include "errors/tessela_error.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "errors/byte_count.h"

namespace tessela {
namespace {

using Case = TesselaError::Case;

struct SentenceCase {
    TesselaError error;
    std::string sentence;
};

// Every case with its exact sentence, in declaration order, with the payload variants that
// change the wording.
const std::vector<SentenceCase>& sentenceTable() {
    static const std::vector<SentenceCase> table = {
        {TesselaError::notEnoughSpace(250'000'000, 1'500),
         "Not enough free space. Tessela needs 250.0\u00a0MB, but only 1.5\u00a0kB is free."},
        {TesselaError::inUse({"Preview", "TextEdit", "Pages"}),
         "Files are still open in Preview, TextEdit and Pages. Close them, then try again."},
        {TesselaError::inUse({"Preview"}),
         "Files are still open in Preview. Close them, then try again."},
        {TesselaError::inUse({}), "Some files are still open. Close them, then try again."},
        {TesselaError::diskImage("Password incorrect."),
         "The system could not open the locked item: Password incorrect."},
        {TesselaError::copyFailed("disk full"), "Copying failed: disk full"},
        {TesselaError::verificationFailed({}),
         "The locked copy did not match the original (0 differences), so nothing was changed."},
        {TesselaError::verificationFailed({{"a", TreeMismatch::sizeDiffers}}),
         "The locked copy did not match the original (1 difference), so nothing was changed."},
        {TesselaError::verificationFailed(
             {{"a", TreeMismatch::sizeDiffers}, {"b", TreeMismatch::extraInCopy}}),
         "The locked copy did not match the original (2 differences), so nothing was changed."},
        {TesselaError::restoreVerificationFailed({{"", TreeMismatch::contentDiffers}}),
         "The restored copy did not match the locked item (1 difference), so nothing was "
         "changed. The item is still locked."},
        {TesselaError::refused(LockRefusal::homeFolder),
         "Tessela does not lock your whole home folder. Lock the folders inside it instead."},
        {TesselaError::refused(LockRefusal::systemLocation),
         "Tessela does not lock system folders."},
        {TesselaError::refused(LockRefusal::libraryFolder),
         "Tessela does not lock items in your settings and data folders, because apps rely on "
         "them."},
        {TesselaError::lockedButOriginalRemains("Taxes"),
         "Taxes is locked, but Tessela could not remove the unlocked original. It will try "
         "again next time it opens."},
        {TesselaError::lockedButRemovalUnfinished("Taxes"),
         "Taxes is locked, but Tessela could not finish removing the unlocked original. It "
         "will finish next time it opens."},
        {TesselaError::stillInICloud("Photos"),
         "Some files in Photos are still in iCloud. Download them first, then try again."},
        {TesselaError::containsUnlockedItem("Work"),
         "Work contains an unlocked Tessela item. Lock it first."},
        {TesselaError::containsMountedDisk("Work"),
         "Work contains a mounted drive or disk image. Unmount it, then try again."},
        {TesselaError::containsAppleDouble("Work"),
         "Work contains hidden metadata files from another system (their names start with ._) "
         "that Tessela cannot lock safely. Remove them, then try again."},
        {TesselaError::finderLocked("Work"),
         "Work is marked immutable. Clear it with \u201csudo chattr -i\u201d, then try again."},
        {TesselaError::containsFinderLocked("Work"),
         "Work contains files marked immutable. Clear them with \u201csudo chattr -i\u201d, then "
         "try again."},
        {TesselaError::hardLinked("Work"),
         "Work has another copy linked to it elsewhere, so Tessela cannot lock it safely."},
        {TesselaError::wrongPassword(), "That password did not work."},
        {TesselaError::notLocked(), "This is not a Tessela locked item."},
        {TesselaError::notFound(), "That item could not be found."},
        {TesselaError::cancelled(), "Cancelled. Nothing was changed."},
        {TesselaError::needsAllLocked(), "Lock every unlocked item first."},
        {TesselaError::changedWhileLocking(),
         "The item changed while it was being locked, so nothing was changed. Try again."},
        {TesselaError::containsReservedName("Work", ".tessela-item.json"),
         "Work holds a file named .tessela-item.json, a name Tessela keeps for its own records "
         "in locked items. Rename or move that file, then try again."},
        {TesselaError::originalNotRemovable("Work"),
         "Work cannot be locked where it is: you may not remove it from its folder, so its "
         "unlocked original would stay behind. Nothing was changed."},
        {TesselaError::pathTooLong("Work"),
         "The path of Work is longer than the system allows. Move it to a shorter path, then "
         "try again."},
        // A name is bytes; the sentence shows it as text.
        {TesselaError::hardLinked("caf\xe9"),
         "caf\uFFFD has another copy linked to it elsewhere, so Tessela cannot lock it safely."},
    };
    return table;
}

TEST(TesselaErrorTest, EveryCaseHasItsExactSentence) {
    std::set<Case> covered;
    for (const SentenceCase& row : sentenceTable()) {
        SCOPED_TRACE(std::string(TesselaError::caseName(row.error.errorCase())));
        EXPECT_EQ(row.error.errorDescription(), row.sentence);
        EXPECT_STREQ(row.error.what(), row.sentence.c_str());
        covered.insert(row.error.errorCase());
    }
    EXPECT_EQ(covered.size(), static_cast<std::size_t>(TesselaError::caseCount));
}

TEST(TesselaErrorTest, CasesAreNumberedInDeclarationOrder) {
    EXPECT_EQ(static_cast<int>(Case::notEnoughSpace), 0);
    EXPECT_EQ(static_cast<int>(Case::refused), 6);
    EXPECT_EQ(static_cast<int>(Case::hardLinked), 15);
    EXPECT_EQ(static_cast<int>(Case::wrongPassword), 16);
    EXPECT_EQ(static_cast<int>(Case::changedWhileLocking), 21);
    EXPECT_EQ(static_cast<int>(Case::pathTooLong), 24);
    EXPECT_EQ(TesselaError::caseName(Case::lockedButRemovalUnfinished),
              "lockedButRemovalUnfinished");
}

TEST(TesselaErrorTest, NameStandsFirstWithoutQuotes) {
    const TesselaError error = TesselaError::hardLinked("\"Odd\" name.txt");
    EXPECT_EQ(error.errorDescription().rfind("\"Odd\" name.txt has another copy", 0), 0U);
}

TEST(TesselaErrorTest, LockedNoticeOnlyForTheTwoLockedCases) {
    for (const SentenceCase& row : sentenceTable()) {
        const Case errorCase = row.error.errorCase();
        const bool expected = errorCase == Case::lockedButOriginalRemains ||
                              errorCase == Case::lockedButRemovalUnfinished;
        EXPECT_EQ(row.error.lockedNotice().has_value(), expected)
            << TesselaError::caseName(errorCase);
    }
    const auto remains = TesselaError::lockedButOriginalRemains("Taxes").lockedNotice();
    ASSERT_TRUE(remains.has_value());
    EXPECT_EQ(remains->title, "The unlocked original is still there");
    EXPECT_EQ(remains->message, TesselaError::lockedButOriginalRemains("Taxes").errorDescription());

    const auto unfinished = TesselaError::lockedButRemovalUnfinished("Taxes").lockedNotice();
    ASSERT_TRUE(unfinished.has_value());
    EXPECT_EQ(unfinished->title, "Taxes is locked");
    EXPECT_EQ(unfinished->message,
              "Tessela could not finish removing the unlocked original. It will finish next "
              "time it opens.");
}

TEST(TesselaErrorTest, ListJoinsNamesInEnglish) {
    EXPECT_EQ(TesselaError::list({}), "");
    EXPECT_EQ(TesselaError::list({"A"}), "A");
    EXPECT_EQ(TesselaError::list({"A", "B"}), "A and B");
    EXPECT_EQ(TesselaError::list({"A", "B", "C"}), "A, B and C");
    EXPECT_EQ(TesselaError::list({"A", "B", "C", "D"}), "A, B, C and D");
}

TEST(TesselaErrorTest, EqualityComparesCaseAndPayloadInOrder) {
    const TreeMismatch first{"a", TreeMismatch::sizeDiffers};
    const TreeMismatch second{"b", TreeMismatch::missingFromCopy};
    EXPECT_EQ(TesselaError::verificationFailed({first, second}),
              TesselaError::verificationFailed({first, second}));
    EXPECT_NE(TesselaError::verificationFailed({first, second}),
              TesselaError::verificationFailed({second, first}));
    EXPECT_NE(TesselaError::verificationFailed({first}),
              TesselaError::restoreVerificationFailed({first}));
    EXPECT_EQ(TesselaError::refused(LockRefusal::tooLarge),
              TesselaError::refused(LockRefusal::tooLarge));
    EXPECT_NE(TesselaError::refused(LockRefusal::tooLarge),
              TesselaError::refused(LockRefusal::shortcut));
    EXPECT_NE(TesselaError::containsAppleDouble("A"), TesselaError::containsAppleDouble("B"));
    EXPECT_NE(TesselaError::notEnoughSpace(1, 2), TesselaError::notEnoughSpace(2, 1));
    EXPECT_EQ(TesselaError::cancelled(), TesselaError::cancelled());
}

TEST(TesselaErrorTest, CopiesAreIndependentValues) {
    TesselaError original = TesselaError::inUse({"Preview"});
    const TesselaError copy = original;
    original = TesselaError::notFound();
    EXPECT_EQ(copy.errorDescription(),
              "Files are still open in Preview. Close them, then try again.");
}

TEST(ByteCountTest, UsesDecimalUnits) {
    EXPECT_EQ(formatByteCount(0), "0 bytes");
    EXPECT_EQ(formatByteCount(1), "1 byte");
    EXPECT_EQ(formatByteCount(999), "999 bytes");
    EXPECT_EQ(formatByteCount(1'000), "1.0\u00a0kB");
    EXPECT_EQ(formatByteCount(2'000'000'000'000), "2.0\u00a0TB");
    EXPECT_EQ(formatByteCount(-1'500), "-1.5\u00a0kB");
    EXPECT_FALSE(formatByteCount(INT64_MIN).empty());
}

TEST(LockRefusalTest, MessagesAndNamesRoundTrip) {
    for (const LockRefusal refusal : allLockRefusals) {
        EXPECT_EQ(lockRefusalFromRawValue(rawValue(refusal)), refusal);
        EXPECT_FALSE(message(refusal).empty());
        EXPECT_EQ(TesselaError::refused(refusal).errorDescription(), message(refusal));
    }
    EXPECT_EQ(lockRefusalFromRawValue("DoesNotExist"), std::nullopt);
    EXPECT_EQ(message(LockRefusal::tooLarge), "Tessela locks items up to 2 TB.");
}

TEST(TreeMismatchTest, DescriptionNamesTheRootAsItem) {
    EXPECT_EQ((TreeMismatch{"", TreeMismatch::typeDiffers}).description(), "(item): type differs");
    EXPECT_EQ((TreeMismatch{"a/b", TreeMismatch::linkTargetDiffers}).description(),
              "a/b: link target differs");
}

}  // namespace
}  // namespace tessela
