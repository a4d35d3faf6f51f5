// Opening, reading and checking archives: the format's example, every kind
// of damage, the name rules and what a full check reports.
#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/names.h"
#include "archive_builder.h"
#include "testing/memory_file_system.h"

namespace veltrin::archive {
namespace {

using testing::MemoryFileSystem;
using testing::Pattern;
using testing::RawArchive;
using testing::RawEntry;
using testing::SoundArchive;

const std::string kPath = "models/gta3.img";

// The two-entry example of the format, byte by byte.
std::vector<uint8_t> FormatExample() {
    std::vector<uint8_t> bytes(8192, 0);
    const std::string head = "VER2";
    std::copy(head.begin(), head.end(), bytes.begin());
    bytes[4] = 2;
    bytes[8] = 1;   // offset 1
    bytes[12] = 2;  // streaming size 2
    const std::string a = "a.dff", b = "b.txd";
    std::copy(a.begin(), a.end(), bytes.begin() + 16);
    bytes[40] = 3;  // offset 3
    bytes[44] = 1;  // streaming size 1
    std::copy(b.begin(), b.end(), bytes.begin() + 48);
    const auto aData = Pattern(3000, 1), bData = Pattern(100, 2);
    std::copy(aData.begin(), aData.end(), bytes.begin() + 2048);
    std::copy(bData.begin(), bData.end(), bytes.begin() + 6144);
    return bytes;
}

TEST(ArchiveRead, ReadsTheFormatExample) {
    MemoryFileSystem fs;
    fs.SetFile(kPath, FormatExample());
    const Archive archive = Archive::Open(kPath, fs);
    ASSERT_EQ(archive.Entries().size(), 2u);
    EXPECT_EQ(archive.Entries()[0].name, "a.dff");
    EXPECT_EQ(archive.Entries()[0].offset, 1u);
    EXPECT_EQ(archive.Entries()[0].sectors, 2u);
    EXPECT_EQ(archive.Entries()[1].name, "b.txd");
    EXPECT_EQ(archive.Entries()[1].offset, 3u);
    EXPECT_EQ(archive.Entries()[1].sectors, 1u);
    EXPECT_EQ(archive.RecoveryOnOpen(), Recovery::None);

    std::vector<uint8_t> a = Pattern(3000, 1);
    a.resize(4096, 0);
    std::vector<uint8_t> b = Pattern(100, 2);
    b.resize(2048, 0);
    ASSERT_NE(archive.Find("A.DFF"), nullptr);
    EXPECT_EQ(archive.Read(*archive.Find("A.DFF")), a);
    EXPECT_EQ(archive.Read(*archive.Find("b.txd")), b);
    EXPECT_EQ(archive.Find("c.txd"), nullptr);
    EXPECT_TRUE(Verify(kPath, fs).empty());
    EXPECT_EQ(fs.Contents(kPath), FormatExample()) << "opening and checking write nothing";
}

TEST(ArchiveRead, WritesTheFormatExample) {
    MemoryFileSystem fs;
    Archive archive = Archive::Create(kPath, fs);
    archive.Put("a.dff", Pattern(3000, 1));
    archive.Put("b.txd", Pattern(100, 2));
    archive.Commit();
    EXPECT_EQ(fs.Contents(kPath), FormatExample());
}

TEST(ArchiveRead, NameStopsAtTheFirstNul) {
    std::vector<uint8_t> bytes = SoundArchive({{"name.dff", 1}});
    bytes[8 + 8 + 9] = 'x';  // garbage after the NUL, as real archives may hold
    MemoryFileSystem fs;
    fs.SetFile(kPath, bytes);
    EXPECT_EQ(Archive::Open(kPath, fs).Entries().at(0).name, "name.dff");
}

struct DamageCase {
    const char* what;
    std::vector<uint8_t> bytes;
    ErrorKind kind;
};

std::vector<DamageCase> DamageCases() {
    std::vector<uint8_t> noNul = SoundArchive({{"a.dff", 1}});
    for (size_t i = 0; i < 24; ++i) noNul[16 + i] = 'n';
    std::vector<uint8_t> hugeCount = SoundArchive({{"a.dff", 1}});
    testing::Put32(hugeCount, 4, 0xFFFFFFFFu);
    std::vector<uint8_t> countTooBig = SoundArchive({{"a.dff", 1}});
    testing::Put32(countTooBig, 4, 200);  // 8 + 200 * 32 > 4096 bytes
    std::vector<uint8_t> inDirectory = SoundArchive({{"a.dff", 1}});
    testing::Put32(inDirectory, 8, 0);
    return {
        {"empty file", {}, ErrorKind::NotAnArchive},
        {"shorter than the header", {'V', 'E', 'R', '2', 0}, ErrorKind::NotAnArchive},
        {"version 1 directory", RawArchive({{"a.dff", 1, 1}}, 4096, "VER1"), ErrorKind::NotAnArchive},
        {"other file", std::vector<uint8_t>(4096, 'x'), ErrorKind::NotAnArchive},
        {"count beyond the file", countTooBig, ErrorKind::Damaged},
        {"huge count", hugeCount, ErrorKind::Damaged},
        {"entry beyond the end", RawArchive({{"a.dff", 1, 2}}, 4096), ErrorKind::Damaged},
        {"entry far beyond the end", RawArchive({{"a.dff", 0xFFFFFFF0u, 1}}, 4096), ErrorKind::Damaged},
        {"overlapping entries", RawArchive({{"a.dff", 1, 2}, {"b.dff", 2, 1}}, 4 * 2048), ErrorKind::Damaged},
        {"same start", RawArchive({{"a.dff", 1, 1}, {"b.dff", 1, 1}}, 2 * 2048), ErrorKind::Damaged},
        {"overlap out of directory order", RawArchive({{"b.dff", 2, 2}, {"a.dff", 1, 2}}, 4 * 2048),
         ErrorKind::Damaged},
        {"entry inside the directory", inDirectory, ErrorKind::Damaged},
        {"name without NUL", noNul, ErrorKind::Damaged},
    };
}

TEST(ArchiveRead, RefusesEveryKindOfDamage) {
    for (const DamageCase& damage : DamageCases()) {
        MemoryFileSystem fs;
        fs.SetFile(kPath, damage.bytes);
        try {
            (void)Archive::Open(kPath, fs);
            ADD_FAILURE() << damage.what << ": opened";
        } catch (const ArchiveError& error) {
            EXPECT_EQ(error.kind(), damage.kind) << damage.what << ": " << error.reason();
            EXPECT_EQ(error.path(), kPath);
            EXPECT_FALSE(error.reason().empty());
        }
        const std::vector<std::string> problems = Verify(kPath, fs);
        EXPECT_FALSE(problems.empty()) << damage.what;
        EXPECT_EQ(fs.Contents(kPath), damage.bytes) << damage.what << ": nothing is written";
        EXPECT_EQ(fs.Paths().size(), 1u) << damage.what;
    }
}

TEST(ArchiveRead, MissingFileIsNotFound) {
    MemoryFileSystem fs;
    try {
        (void)Archive::Open(kPath, fs);
        FAIL() << "opened";
    } catch (const ArchiveError& error) {
        EXPECT_EQ(error.kind(), ErrorKind::NotFound);
    }
}

TEST(ArchiveRead, LockedFileIsLocked) {
    MemoryFileSystem fs;
    fs.SetFile(kPath, SoundArchive({{"a.dff", 1}}));
    fs.Lock(kPath);
    try {
        (void)Archive::Open(kPath, fs);
        FAIL() << "opened";
    } catch (const ArchiveError& error) {
        EXPECT_EQ(error.kind(), ErrorKind::Locked);
    }
}

TEST(ArchiveRead, AcceptsEmptyArchivesAndEmptyEntries) {
    MemoryFileSystem fs;
    fs.SetFile(kPath, RawArchive({}, 2048));
    EXPECT_TRUE(Archive::Open(kPath, fs).Entries().empty());
    EXPECT_TRUE(Verify(kPath, fs).empty());
    fs.SetFile(kPath, RawArchive({}, 8));
    EXPECT_TRUE(Archive::Open(kPath, fs).Entries().empty());
    fs.SetFile(kPath, RawArchive({{"a.dff", 1, 1}, {"empty.dff", 2, 0}, {"b.dff", 2, 1}}, 3 * 2048));
    const Archive archive = Archive::Open(kPath, fs);
    EXPECT_TRUE(archive.Read(archive.Entries()[1]).empty());
    EXPECT_TRUE(Verify(kPath, fs).empty());
}

// Pieces of a large entry, a small one and an empty one, as Read gives them
// whole; a taker that says stop gets no more.
TEST(ArchiveRead, ReadPiecesHandsOverTheStoredBytesInOrderUntilTold) {
    MemoryFileSystem fs;
    {
        Archive made = Archive::Create(kPath, fs);
        made.Put("large.dff", Pattern((size_t{3} << 20) + 5000, 1));
        made.Put("small.txd", Pattern(100, 2));
        made.Put("empty.dff", {});
        made.Commit();
    }
    const Archive archive = Archive::Open(kPath, fs);
    for (const Entry& entry : archive.Entries()) {
        SCOPED_TRACE(entry.name);
        std::vector<uint8_t> taken;
        size_t pieces = 0;
        EXPECT_TRUE(archive.ReadPieces(entry, [&](std::span<const uint8_t> piece) {
            EXPECT_FALSE(piece.empty());
            taken.insert(taken.end(), piece.begin(), piece.end());
            ++pieces;
            return true;
        }));
        EXPECT_EQ(taken, archive.Read(entry));
        EXPECT_EQ(pieces > 1, entry.name == "large.dff") << pieces;
    }

    size_t calls = 0;
    EXPECT_FALSE(archive.ReadPieces(*archive.Find("large.dff"), [&](std::span<const uint8_t>) { return ++calls < 2; }));
    EXPECT_EQ(calls, 2u);

    const Entry pastTheEnd{"x.dff", archive.Find("small.txd")->offset, 5000};
    try {
        (void)archive.ReadPieces(pastTheEnd, [](std::span<const uint8_t>) -> bool {
            ADD_FAILURE() << "a piece of an entry past the end";
            return true;
        });
        ADD_FAILURE() << "read past the end";
    } catch (const ArchiveError& error) {
        EXPECT_EQ(error.kind(), ErrorKind::Damaged);
    }
}

struct FindingCase {
    const char* what;
    std::vector<uint8_t> bytes;
    const char* expected;  // a word the report must hold
};

TEST(ArchiveVerify, ReportsWhatTheGameCannotUse) {
    const std::vector<FindingCase> cases = {
        {"hole", RawArchive({{"a.dff", 1, 1}, {"b.dff", 3, 1}}, 4 * 2048), "unused sectors"},
        {"out of order", RawArchive({{"b.dff", 2, 1}, {"a.dff", 1, 1}}, 3 * 2048), "before"},
        {"duplicate", RawArchive({{"a.dff", 1, 1}, {"A.DFF", 2, 1}}, 3 * 2048), "same name"},
        {"empty name", RawArchive({{"", 1, 1}}, 2 * 2048), "empty"},
        {"separator", RawArchive({{"a/b.dff", 1, 1}}, 2 * 2048), "separator"},
        {"control byte", RawArchive({{"a\tb.dff", 1, 1}}, 2 * 2048), "ASCII"},
        {"size in archive", RawArchive({{"a.dff", 1, 1, 3}}, 2 * 2048), "size in archive"},
    };
    for (const FindingCase& finding : cases) {
        MemoryFileSystem fs;
        fs.SetFile(kPath, finding.bytes);
        EXPECT_NO_THROW((void)Archive::Open(kPath, fs)) << finding.what;
        const std::vector<std::string> problems = Verify(kPath, fs);
        ASSERT_EQ(problems.size(), 1u) << finding.what;
        EXPECT_NE(problems[0].find(finding.expected), std::string::npos) << finding.what << ": " << problems[0];
    }
}

TEST(ArchiveVerify, SpareRoomAfterTheDirectoryIsSound) {
    MemoryFileSystem fs;
    fs.SetFile(kPath, SoundArchive({{"a.dff", 2}, {"b.txd", 1}}, 5));
    EXPECT_TRUE(Verify(kPath, fs).empty());
}

TEST(ArchiveNames, AcceptsWhatTheGameAndFileNamesCanHold) {
    for (const char* name : {"infernus.dff", "cj.txd", "a", "x_y-z (1).dff", "12345678901234567890123", "A.DFF"})
        EXPECT_EQ(NameProblem(name), "") << name;
}

TEST(ArchiveNames, RefusesWhatTheyCannot) {
    for (const std::string& name :
         {std::string(""), std::string("123456789012345678901234"), std::string("a/b.dff"), std::string("a\\b.dff"),
          std::string("a:b.dff"), std::string("a*.dff"), std::string("a?.dff"), std::string("a\".dff"),
          std::string("a<b.dff"), std::string("a|b.dff"), std::string("tab\t.dff"), std::string("nul\0x", 5),
          std::string("\xC3\xA9.dff"), std::string("del\x7F.dff"), std::string("."), std::string(".."),
          std::string("dot."), std::string("space ")})
        EXPECT_NE(NameProblem(name), "") << name;
}

// The key under which the archive finds, replaces and counts names.
TEST(ArchiveNames, CompareWithoutRegardToAsciiCase) {
    EXPECT_EQ(FoldedName("Infernus.DFF"), "infernus.dff");
    EXPECT_EQ(FoldedName(""), "");
    EXPECT_EQ(FoldedName("AZaz@[`{09"), "azaz@[`{09");  // only A-Z change; their neighbours do not
    EXPECT_NE(FoldedName("a.dff"), FoldedName("a.dfff"));
    EXPECT_NE(FoldedName("["), FoldedName("{"));    // differ by the case bit but are not letters
    EXPECT_EQ(FoldedName("\xC3\x89"), "\xC3\x89");  // bytes past ASCII stay as they are

    // And the archive finds entries by it.
    MemoryFileSystem fs;
    fs.SetFile(kPath, SoundArchive({{"Infernus.DFF", 1}, {"\xC3\x89.dff", 1}}));
    const Archive archive = Archive::Open(kPath, fs);
    ASSERT_NE(archive.Find("INFERNUS.dff"), nullptr);
    EXPECT_EQ(archive.Find("INFERNUS.dff")->name, "Infernus.DFF");
    EXPECT_EQ(archive.Find("\xC3\xA9.dff"), nullptr);
}

}  // namespace
}  // namespace veltrin::archive
