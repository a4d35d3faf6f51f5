#include "tool/runs/entry_match.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/memory_file_system.h"
#include "tool_test_support.h"

namespace veltrin::tool {
namespace {

using namespace testing;
using archive::testing::MemoryFileSystem;

class EntryMatchTest : public ::testing::Test {
protected:
    MemoryFileSystem fs;
    const std::string path = "/game/gta3.img";

    // An archive holding one entry of these stored bytes, and the answer for
    // a file of those bytes.
    Match Compare(const Bytes& stored, const Bytes& file) {
        MakeArchive(fs, path, {{"x.dff", stored}});
        fs.SetFile("/mod/x.dff", file);
        Match match = Match::NoFile;
        {
            const auto opened = archive::Archive::Open(path, fs);
            match = EntryMatchesFile(opened, *opened.Find("x.dff"), fs, "/mod/x.dff").match;
        }
        fs.Remove(path);
        return match;
    }
};

TEST_F(EntryMatchTest, AnEntryHoldsTheFilePaddedToWholeSectors) {
    EXPECT_EQ(Compare(Pattern(5000, 1), Pattern(5000, 1)), Match::Holds);
    EXPECT_EQ(Compare(Pattern(2048, 1), Pattern(2048, 1)), Match::Holds);
    EXPECT_EQ(Compare({}, {}), Match::Holds);
}

TEST_F(EntryMatchTest, ZerosPastTheFilesEndMayFillMoreSectors) {
    // As an in-place save leaves a smaller file written over a larger entry.
    Bytes stored = Pattern(100, 2);
    stored.resize(3 * archive::kSectorSize, 0);
    EXPECT_EQ(Compare(stored, Pattern(100, 2)), Match::Holds);
    stored.back() = 7;
    EXPECT_EQ(Compare(stored, Pattern(100, 2)), Match::Differs);
}

TEST_F(EntryMatchTest, AnyOtherByteIsADifference) {
    Bytes other = Pattern(5000, 1);
    other.front() ^= 1;
    EXPECT_EQ(Compare(other, Pattern(5000, 1)), Match::Differs);
    EXPECT_EQ(Compare(Pattern(5000, 1), Pattern(4999, 1)), Match::Differs);  // the last byte is not zero
    EXPECT_EQ(Compare(Pattern(5000, 1), Pattern(5001, 1)), Match::Differs);  // longer than the entry holds
    EXPECT_EQ(Compare(Pattern(5000, 1), Pattern(7000, 1)), Match::Differs);  // a sector longer
    EXPECT_EQ(Compare(Pattern(5000, 1), {}), Match::Differs);
}

// Larger than the pieces the archive reads in: every piece is compared at
// its own place in the file.
TEST_F(EntryMatchTest, ALargeEntryIsComparedPieceByPieceToItsEnd) {
    const size_t size = (size_t{9} << 20) + 777;
    const Bytes file = Pattern(size, 3);
    EXPECT_EQ(Compare(file, file), Match::Holds);
    for (const size_t at : {size_t{0}, (size_t{4} << 20) - 1, size_t{4} << 20, (size_t{8} << 20) + 5, size - 1}) {
        Bytes changed = file;
        changed[at] ^= 0x80;
        EXPECT_EQ(Compare(changed, file), Match::Differs) << at;
    }
}

TEST_F(EntryMatchTest, AMissingFileIsSaidSo) {
    MakeArchive(fs, path, {{"x.dff", Pattern(10, 1)}});
    const auto opened = archive::Archive::Open(path, fs);
    const MatchResult result = EntryMatchesFile(opened, *opened.Find("x.dff"), fs, "/mod/gone.dff");
    EXPECT_EQ(result.match, Match::NoFile);
    EXPECT_EQ(result.why, "/mod/gone.dff is gone");
}

TEST_F(EntryMatchTest, AFileThatCannotBeOpenedIsSaidSo) {
    MakeArchive(fs, path, {{"x.dff", Pattern(10, 1)}});
    fs.SetFile("/mod/x.dff", Pattern(10, 1));
    fs.Lock("/mod/x.dff");
    const auto opened = archive::Archive::Open(path, fs);
    const MatchResult result = EntryMatchesFile(opened, *opened.Find("x.dff"), fs, "/mod/x.dff");
    EXPECT_EQ(result.match, Match::NoFile);
    EXPECT_NE(result.why.find("/mod/x.dff cannot be read: "), std::string::npos) << result.why;
}

}  // namespace
}  // namespace veltrin::tool
