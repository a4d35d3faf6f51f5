#include "tool/shell/commands.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fault_file_system.h"
#include "testing/forwarding_file_system.h"
#include "testing/memory_file_system.h"
#include "tool/common/safe_name.h"
#include "tool_test_support.h"

namespace veltrin::tool {
namespace {

using namespace testing;
using archive::testing::Fault;
using archive::testing::FaultFileSystem;
using archive::testing::FaultName;
using archive::testing::MemoryFileSystem;

constexpr const char* kArchive = "/game/models/gta3.img";

class CommandsTest : public ::testing::Test {
protected:
    MemoryFileSystem fs;
    RecordingReport report;
    void SetUp() override { MakeArchive(fs, kArchive, {{"a.dff", Pattern(3000, 1)}, {"b.txd", Pattern(100, 2)}}); }
};

TEST_F(CommandsTest, ListShowsEveryEntryWithItsSize) {
    EXPECT_EQ(ListEntries(kArchive, fs, report), ExitStatus::Ok);
    ASSERT_EQ(report.lines.size(), 4u) << report.All();
    EXPECT_EQ(report.lines[0].substr(0, 5), "a.dff");
    EXPECT_NE(report.lines[0].find(" 4096 bytes"), std::string::npos);
    EXPECT_NE(report.lines[1].find(" 2048 bytes"), std::string::npos);
    EXPECT_EQ(report.lines[2], "2 entries");
    EXPECT_EQ(report.lines[3], "free space: none");
}

// An archive written byte by byte: each record's name and sectors, laid one
// after the other from sector 1, every sector holding its record's number.
Bytes RawArchiveOf(const std::vector<std::pair<std::string, uint16_t>>& records) {
    Bytes bytes(archive::kSectorSize, 0);
    bytes[0] = 'V';
    bytes[1] = 'E';
    bytes[2] = 'R';
    bytes[3] = '2';
    bytes[4] = static_cast<uint8_t>(records.size());
    uint32_t at = 1;
    for (size_t i = 0; i < records.size(); ++i) {
        const auto& [name, sectors] = records[i];
        uint8_t* record = bytes.data() + 8 + 32 * i;
        for (int b = 0; b < 4; ++b) record[b] = static_cast<uint8_t>(at >> (8 * b));
        record[4] = static_cast<uint8_t>(sectors);
        record[5] = static_cast<uint8_t>(sectors >> 8);
        std::copy(name.begin(), name.end(), record + 8);
        bytes.resize(bytes.size() + size_t{sectors} * archive::kSectorSize, static_cast<uint8_t>(i + 1));
        at += sectors;
    }
    return bytes;
}

// Free entries (the sectors a moved entry left, kept as records the game
// never loads) are free space to every command, never entries.
TEST_F(CommandsTest, FreeEntriesAreFreeSpaceToListExtractVerifyAndRebuild) {
    // a.dff grows and moves to the end; its two sectors become a free entry.
    fs.SetFile("/mod/a.dff", Pattern(9000, 7));
    ASSERT_EQ(AddFiles(kArchive, {"/mod/a.dff"}, fs, report), ExitStatus::Ok) << report.All();
    ASSERT_EQ(archive::Archive::Open(kArchive, fs).Free().entries, 1u) << "the library left no free entry";
    const Content content = {{"a.dff", Stored(Pattern(9000, 7))}, {"b.txd", Stored(Pattern(100, 2))}};

    RecordingReport listed;
    EXPECT_EQ(ListEntries(kArchive, fs, listed), ExitStatus::Ok);
    ASSERT_EQ(listed.lines.size(), 4u) << listed.All();
    EXPECT_EQ(listed.lines[2], "2 entries");
    EXPECT_EQ(listed.lines[3], "free space: 1 free entry, 4096 bytes (rebuild removes them)");

    RecordingReport extracted;
    EXPECT_EQ(ExtractEntries(kArchive, "/out", {}, '/', fs, extracted), ExitStatus::Ok) << extracted.All();
    EXPECT_EQ(extracted.lines.back(), "2 entries extracted to /out");
    EXPECT_EQ(fs.Paths(),
              (std::vector<std::string>{"/game/models/gta3.img", "/mod/a.dff", "/out/a.dff", "/out/b.txd"}));
    EXPECT_EQ(ExtractEntries(kArchive, "/one", {"~free-1"}, '/', fs, extracted), ExitStatus::NotFound);

    RecordingReport verified;
    EXPECT_EQ(VerifyArchive(kArchive, fs, verified), ExitStatus::Ok) << verified.All();
    EXPECT_EQ(verified.All(),
              "1 free entry (4096 bytes of free space): sound, none larger than the largest entry; rebuild removes "
              "them\n" +
                  std::string(kArchive) + ": no problems found\n");

    RecordingReport rebuilt;
    EXPECT_EQ(RebuildArchive(kArchive, fs, rebuilt), ExitStatus::Ok) << rebuilt.All();
    const auto after = archive::Archive::Open(kArchive, fs);
    EXPECT_EQ(after.Records().size(), 2u);
    EXPECT_EQ(after.Free().entries, 0u);
    EXPECT_EQ(ReadContent(fs, kArchive), content);
    RecordingReport listedAgain;
    EXPECT_EQ(ListEntries(kArchive, fs, listedAgain), ExitStatus::Ok);
    EXPECT_EQ(listedAgain.lines.back(), "free space: none");
    RecordingReport verifiedAgain;
    EXPECT_EQ(VerifyArchive(kArchive, fs, verifiedAgain), ExitStatus::Ok);
    EXPECT_TRUE(verifiedAgain.Has("no free entries")) << verifiedAgain.All();
}

// The game sizes its streaming buffer by the largest record of all, free
// ones too: a free entry larger than every entry is reported, and counted.
TEST_F(CommandsTest, VerifyReportsAFreeEntryLargerThanTheLargestEntry) {
    fs.SetFile("/big.img", RawArchiveOf({{"a.dff", 1}, {"~free-2", 3}, {"~free-5", 1}, {"b.txd", 2}}));
    EXPECT_EQ(VerifyArchive("/big.img", fs, report), ExitStatus::VerifyProblems) << report.All();
    EXPECT_EQ(report.All(),
              "The free entry \"~free-2\" (3 sectors) is larger than the largest entry (2 sectors).\n"
              "2 free entries (8192 bytes of free space): 1 larger than the largest entry (named above)\n"
              "/big.img: 1 problem found\n");
    RecordingReport listed;
    EXPECT_EQ(ListEntries("/big.img", fs, listed), ExitStatus::Ok);
    EXPECT_EQ(listed.lines.size(), 4u) << listed.All();
    EXPECT_EQ(listed.lines.back(), "free space: 2 free entries, 8192 bytes (rebuild removes them)");
}

TEST_F(CommandsTest, ExtractWritesTheStoredBytesOfAllOrTheNamedEntries) {
    EXPECT_EQ(ExtractEntries(kArchive, "/out", {}, '/', fs, report), ExitStatus::Ok) << report.All();
    EXPECT_EQ(fs.Contents("/out/a.dff"), Stored(Pattern(3000, 1)));
    EXPECT_EQ(fs.Contents("/out/b.txd"), Stored(Pattern(100, 2)));

    EXPECT_EQ(ExtractEntries(kArchive, "/one", {"B.TXD"}, '/', fs, report), ExitStatus::Ok);
    EXPECT_TRUE(fs.Exists("/one/b.txd"));
    EXPECT_FALSE(fs.Exists("/one/a.dff"));
}

TEST_F(CommandsTest, ExtractOfManyEntriesLeavesEveryFileWholeAndNothingHalfDone) {
    Content many;
    for (int i = 0; i < 600; ++i)  // more than one batch of files made durable together
        many.emplace_back("e" + std::to_string(i) + ".dff",
                          Pattern(static_cast<size_t>(i % 7) * 900, static_cast<uint8_t>(i)));
    MakeArchive(fs, "/many.img", many);
    ASSERT_EQ(ExtractEntries("/many.img", "/out", {}, '/', fs, report), ExitStatus::Ok) << report.All();
    for (const auto& [name, bytes] : many) ASSERT_EQ(fs.Contents("/out/" + name), Stored(bytes)) << name;
    EXPECT_EQ(fs.Paths().size(), 2 + many.size()) << "the archives, the extracted files and nothing else";
    EXPECT_EQ(report.lines.back(), "600 entries extracted to /out");
}

TEST_F(CommandsTest, ExtractKeepsEntriesApartWhoseNamesEndLikeAWaitingFile) {
    for (const bool partialFirst : {true, false}) {
        const Content first = {{"x.dff.partial", Pattern(2000, 1)}, {"y.txd", Pattern(10, 3)}};
        const Content second = {{"x.dff", Pattern(3000, 2)}, {"X.DFF.PARTIAL~", Pattern(40, 4)}};
        Content entries = partialFirst ? first : second;
        entries.insert(entries.end(), (partialFirst ? second : first).begin(), (partialFirst ? second : first).end());
        MemoryFileSystem disk;
        MakeArchive(disk, kArchive, entries);
        ASSERT_EQ(ExtractEntries(kArchive, "/out", {}, '/', disk, report), ExitStatus::Ok) << report.All();
        for (const auto& [name, bytes] : entries)
            EXPECT_EQ(disk.Contents("/out/" + name), Stored(bytes)) << name << " " << partialFirst;
        EXPECT_EQ(disk.Paths().size(), 1 + entries.size()) << partialFirst;
    }
}

TEST_F(CommandsTest, ExtractThatFailsKeepsWhatItReportedAsExtracted) {
    Content many;
    for (int i = 0; i < 300; ++i)
        many.emplace_back("e" + std::to_string(i) + ".dff", Pattern(100, static_cast<uint8_t>(i)));
    MakeArchive(fs, "/many.img", many);
    for (const Fault fault : {Fault::Error, Fault::Kill}) {
        bool sawFailure = false;
        for (int k = 1; k < 2000; k += 37) {
            MemoryFileSystem disk = fs;
            RecordingReport said;
            bool fired = false;
            {
                FaultFileSystem faulty(disk, fault, k);
                const ExitStatus status = ExtractEntries("/many.img", "/out", {}, '/', faulty, said);
                fired = faulty.Fired();
                EXPECT_EQ(status == ExitStatus::Ok, !fired) << said.All();
            }
            if (!fired) break;
            sawFailure = true;
            const bool toldRemoved = said.Has("were removed");
            for (const auto& line : said.lines) {
                if (line.rfind("extracted ", 0) != 0) continue;
                const std::string name = line.substr(10);
                if (disk.Exists("/out/" + name)) {
                    EXPECT_EQ(disk.Contents("/out/" + name), Stored(many[std::stoul(name.substr(1))].second)) << k;
                } else {
                    EXPECT_TRUE(toldRemoved) << FaultName(fault) << " at " << k << ": " << name << " vanished\n"
                                             << said.All();
                }
            }
        }
        EXPECT_TRUE(sawFailure);
    }
}

TEST_F(CommandsTest, ExtractOfAMissingNameWritesNothing) {
    EXPECT_EQ(ExtractEntries(kArchive, "/out", {"a.dff", "gone.dff"}, '/', fs, report), ExitStatus::NotFound);
    EXPECT_FALSE(fs.Exists("/out/a.dff"));
    EXPECT_TRUE(report.Has("gone.dff is not in the archive"));
}

TEST_F(CommandsTest, ExtractNeverWritesOutsideItsFolder) {
    const std::vector<std::string> hostile = {
        "..",
        "../escape.dff",
        "..\\escape.dff",
        "C:escape.dff",
        "/etc/passwd",
        "\\\\srv\\x.dff",
        "sub/x.dff",
        "CON",
        "nul.txd",
        "com1.dff",
        "LPT9",
        "a.dff.",
        "b.txd ",
        ".",
        "x:stream",
        "",
        "good.dff",
        "GOOD.DFF",
    };
    for (const char separator : {'/', '\\'}) {
        SCOPED_TRACE(separator);
        MemoryFileSystem raw;
        raw.SetFile(kArchive, RawArchive(hostile));
        RecordingReport said;
        const std::string folder = std::string("out") + separator + "here";
        EXPECT_EQ(ExtractEntries(kArchive, folder, {}, separator, raw, said), ExitStatus::UnsafeName) << said.All();
        std::vector<std::string> written;
        for (const auto& path : raw.Paths())
            if (path != kArchive) written.push_back(path);
        // Only the one plain name landed, once, right inside the folder.
        EXPECT_EQ(written, (std::vector<std::string>{folder + separator + "good.dff"})) << said.All();
        EXPECT_TRUE(said.Has("skipped a second entry named GOOD.DFF"));
        EXPECT_TRUE(said.Has("1 entry extracted"));
    }
}

TEST(SafeName, AcceptsPlainNamesAndRejectsEveryWayOut) {
    for (const char* name :
         {"a.dff", "Big Car.DFF", "x", ".hidden", "COM10", "console.txd", "a..b", "LPT", "nulx.dff"}) {
        EXPECT_EQ(UnsafeNameProblem(name), "") << name;
    }
    const std::vector<std::pair<std::string, std::string>> rejected = {
        {"", "empty"},
        {".", "folder reference"},
        {"..", "folder reference"},
        {"a/b", "separator"},
        {"a\\b", "separator"},
        {"C:x", "colon"},
        {"a\x01.dff", "control"},
        {"a?.dff", "does not allow"},
        {"a*.dff", "does not allow"},
        {"a.dff.", "dot or a space"},
        {"a.dff ", "dot or a space"},
        {"CON", "device"},
        {"con.txd", "device"},
        {"Aux", "device"},
        {"prn .dff", "device"},
        {"NUL.a.b", "device"},
        {"COM1", "device"},
        {"lpt9.dff", "device"},
        {"COM0", "device"},
        {"CONOUT$", "device"},
        {"com\xc2\xb9.dff", "device"},
    };
    for (const auto& [name, why] : rejected) {
        SCOPED_TRACE(name);
        EXPECT_NE(UnsafeNameProblem(name).find(why), std::string::npos) << UnsafeNameProblem(name);
    }
}

TEST_F(CommandsTest, AddReplacesWithoutRegardToCaseAndAddsNewNames) {
    fs.SetFile("/mod/A.DFF", Pattern(2500, 7));
    fs.SetFile("/mod/c.txd", Pattern(20, 8));
    EXPECT_EQ(AddFiles(kArchive, {"/mod/A.DFF", "/mod/c.txd"}, fs, report), ExitStatus::Ok) << report.All();
    EXPECT_EQ(ReadContent(fs, kArchive), (Content{{"A.DFF", Stored(Pattern(2500, 7))},
                                                  {"b.txd", Stored(Pattern(100, 2))},
                                                  {"c.txd", Stored(Pattern(20, 8))}}));
    EXPECT_TRUE(report.Has("replacing A.DFF"));
    EXPECT_TRUE(report.Has("adding c.txd"));
}

TEST_F(CommandsTest, AddOfABadNameOrMissingFileChangesNothing) {
    const Bytes before = fs.Contents(kArchive);
    fs.SetFile("/mod/c.txd", Pattern(20, 8));
    fs.SetFile("/mod/name_longer_than_the_format.dff", Pattern(20, 8));
    EXPECT_EQ(AddFiles(kArchive, {"/mod/c.txd", "/mod/name_longer_than_the_format.dff"}, fs, report),
              ExitStatus::Rejected);
    EXPECT_EQ(AddFiles(kArchive, {"/mod/c.txd", "/mod/gone.dff"}, fs, report), ExitStatus::NotFound);
    EXPECT_EQ(fs.Contents(kArchive), before);
    EXPECT_TRUE(report.Has("/mod/gone.dff was not found")) << report.All();
}

TEST_F(CommandsTest, CreateMakesANewArchiveOfTheFilesInOrder) {
    fs.SetFile("/mod/z.dff", Pattern(5000, 3));
    fs.SetFile("/mod/c.txd", Pattern(10, 4));
    EXPECT_EQ(CreateArchive("/new/player.img", {"/mod/z.dff", "/mod/c.txd"}, fs, report), ExitStatus::Ok)
        << report.All();
    const auto made = archive::Archive::Open("/new/player.img", fs);
    ASSERT_EQ(made.Entries().size(), 2u);
    EXPECT_EQ(made.Entries()[0].name, "z.dff") << "in the order given";
    EXPECT_EQ(made.Read(made.Entries()[0]), Stored(Pattern(5000, 3)));
    EXPECT_EQ(made.Entries()[1].name, "c.txd");
    EXPECT_EQ(made.Read(made.Entries()[1]), Stored(Pattern(10, 4)));
    EXPECT_EQ(CreateArchive("/new/empty.img", {}, fs, report), ExitStatus::Ok);
    EXPECT_TRUE(ReadContent(fs, "/new/empty.img").empty());
}

TEST_F(CommandsTest, CreateNeverTouchesAnExistingFileNorStartsWithABadFile) {
    const auto before = fs.Contents(kArchive);
    fs.SetFile("/mod/c.txd", Pattern(10, 4));
    fs.SetFile("/mod/C.TXD", Pattern(20, 5));
    fs.SetFile("/mod/name_longer_than_the_format.dff", Pattern(10, 6));
    struct Case {
        std::string archive;
        std::vector<std::string> files;
        ExitStatus status;
    };
    const std::vector<Case> cases = {
        {kArchive, {"/mod/c.txd"}, ExitStatus::Io},
        {"/new/a.img", {"/mod/c.txd", "/mod/gone.dff"}, ExitStatus::NotFound},
        {"/new/b.img", {"/mod/c.txd", "/mod/C.TXD"}, ExitStatus::Rejected},
        {"/new/c.img", {"/mod/name_longer_than_the_format.dff"}, ExitStatus::Rejected},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.archive);
        EXPECT_EQ(CreateArchive(c.archive, c.files, fs, report), c.status) << report.All();
        if (c.archive != kArchive) {
            EXPECT_FALSE(fs.Exists(c.archive));
        }
    }
    EXPECT_EQ(fs.Contents(kArchive), before);
}

TEST_F(CommandsTest, RemoveTakesOutEntriesOrNothingWhenOneIsMissing) {
    const Bytes before = fs.Contents(kArchive);
    EXPECT_EQ(RemoveEntries(kArchive, {"a.dff", "gone.dff"}, fs, report), ExitStatus::NotFound);
    EXPECT_EQ(fs.Contents(kArchive), before);
    EXPECT_EQ(RemoveEntries(kArchive, {"A.dff"}, fs, report), ExitStatus::Ok) << report.All();
    EXPECT_EQ(ReadContent(fs, kArchive), (Content{{"b.txd", Stored(Pattern(100, 2))}}));
}

TEST_F(CommandsTest, VerifyPassesASoundArchiveAndFlagsADamagedOne) {
    EXPECT_EQ(VerifyArchive(kArchive, fs, report), ExitStatus::Ok);
    EXPECT_TRUE(report.Has("no problems found"));
    // The second entry now reaches far beyond the end of the file.
    Bytes damaged = fs.Contents(kArchive);
    damaged[8 + 32 + 4] = 0xFF;
    fs.SetFile(kArchive, damaged);
    RecordingReport said;
    EXPECT_EQ(VerifyArchive(kArchive, fs, said), ExitStatus::VerifyProblems);
    EXPECT_TRUE(said.Has(": 1 problem found")) << said.All();
}

// The game reads only the first 550 records of player.img: verify and
// rebuild name every entry past them instead of saying that nothing is wrong.
TEST_F(CommandsTest, VerifyAndRebuildNameTheEntriesOfPlayerImgTheGameNeverSees) {
    Content entries;
    for (int i = 0; i < 552; ++i) entries.emplace_back("c" + std::to_string(i) + ".dff", Pattern(10, 1));
    MakeArchive(fs, "/game/models/player.img", entries);
    EXPECT_EQ(VerifyArchive("/game/models/player.img", fs, report), ExitStatus::VerifyProblems) << report.All();
    EXPECT_EQ(report.lines.front(),
              "Entry 551 (\"c550.dff\") lies past the first 550 records, all the game reads of player.img: the game "
              "never sees it.");
    EXPECT_TRUE(report.Has("Entry 552 (\"c551.dff\")")) << report.All();
    EXPECT_TRUE(report.Has("/game/models/player.img: 2 problems found")) << report.All();
    // The rebuild keeps them where they are, and says so.
    RecordingReport rebuilt;
    EXPECT_EQ(RebuildArchive("/game/models/player.img", fs, rebuilt), ExitStatus::Ok) << rebuilt.All();
    EXPECT_TRUE(rebuilt.Has("warning: Entry 551 (\"c550.dff\") lies past the first 550 records")) << rebuilt.All();
    EXPECT_TRUE(rebuilt.Has("warning: Entry 552 (\"c551.dff\")")) << rebuilt.All();
    MakeArchive(fs, "/game/other/gta3.img", entries);
    RecordingReport other;
    EXPECT_EQ(VerifyArchive("/game/other/gta3.img", fs, other), ExitStatus::Ok) << other.All();
}

// A journal whose write tears, half of it on the disk, and that another
// program holds for a moment, so that the failed save can neither empty nor
// remove it; the next open can.
class TornJournal final : public archive::testing::ForwardingFileSystem {
public:
    TornJournal(archive::FileSystem& inner, std::string journal)
        : ForwardingFileSystem(inner), journal_(std::move(journal)) {}
    std::unique_ptr<archive::File> Open(const std::string& path, archive::OpenMode mode) override {
        if (path == journal_ && mode == archive::OpenMode::ReadWrite)
            throw archive::ArchiveError(archive::ErrorKind::Locked, path, "another program holds it");
        auto file = inner_.Open(path, mode);
        if (path != journal_) return file;
        return std::make_unique<Tearing>(std::move(file));
    }
    void Remove(const std::string& path) override {
        if (path == journal_ && !released_) {
            released_ = true;
            throw archive::ArchiveError(archive::ErrorKind::Locked, path, "another program holds it");
        }
        inner_.Remove(path);
    }

private:
    class Tearing final : public archive::File {
    public:
        explicit Tearing(std::unique_ptr<archive::File> inner) : inner_(std::move(inner)) {}
        uint64_t Size() override { return inner_->Size(); }
        void ReadAt(uint64_t offset, std::span<uint8_t> bytes) override { inner_->ReadAt(offset, bytes); }
        void WriteAt(uint64_t offset, std::span<const uint8_t> bytes) override {
            inner_->WriteAt(offset, bytes.first(bytes.size() / 2));
            throw archive::ArchiveError(archive::ErrorKind::Io, "journal", "the disk reported a write error");
        }
        void Resize(uint64_t size) override { inner_->Resize(size); }
        void Flush() override { inner_->Flush(); }

    private:
        std::unique_ptr<archive::File> inner_;
    };
    std::string journal_;
    bool released_ = false;
};

// A replacement of the same size leaves the directory as it was: what the
// failed save says must come from the archive's bytes, which are the old ones.
TEST_F(CommandsTest, AnInterruptedSaveOfTheSameSizeThatChangedNothingSaysSo) {
    const Bytes before = fs.Contents(kArchive);
    fs.SetFile("/mod/a.dff", Pattern(3000, 9));
    TornJournal torn(fs, std::string(kArchive) + ".journal");
    EXPECT_NE(AddFiles(kArchive, {"/mod/a.dff"}, torn, report), ExitStatus::Ok) << report.All();
    EXPECT_TRUE(report.Has("left as it was: saving was interrupted")) << report.All();
    EXPECT_FALSE(report.Has("completed it")) << report.All();
    EXPECT_EQ(fs.Contents(kArchive), before);
}

TEST_F(CommandsTest, RebuildKeepsTheEntriesAndReportsProgress) {
    const Content before = ReadContent(fs, kArchive);
    EXPECT_EQ(RebuildArchive(kArchive, fs, report), ExitStatus::Ok) << report.All();
    EXPECT_EQ(ReadContent(fs, kArchive), before);
    EXPECT_TRUE(report.Has("rebuilt: "));
}

TEST_F(CommandsTest, CommandsOnAMissingArchiveSayNotFound) {
    EXPECT_EQ(ListEntries("/nowhere.img", fs, report), ExitStatus::NotFound);
    EXPECT_EQ(VerifyArchive("/nowhere.img", fs, report), ExitStatus::VerifyProblems);
    EXPECT_EQ(RebuildArchive("/nowhere.img", fs, report), ExitStatus::NotFound);
    EXPECT_TRUE(report.Has("/nowhere.img was not found"));
}

}  // namespace
}  // namespace veltrin::tool

namespace veltrin::tool {
namespace {

using namespace testing;

// A save of add, remove or rebuild that fails at any step, with an error of
// any kind, says what became of the archive: "nothing was changed" only
// when that is so, and after the point of no return what opening the
// archive again found. Every step of each command is tried with each kind.
TEST(CommandsSaveReport, WhatAFailedSaveSaysIsWhatTheArchiveHolds) {
    using archive::ErrorKind;
    const ErrorKind kinds[] = {ErrorKind::Io, ErrorKind::DiskFull, ErrorKind::AccessDenied, ErrorKind::Locked,
                               ErrorKind::NotFound};
    struct Command {
        const char* what;
        std::function<ExitStatus(archive::FileSystem&, Report&)> run;
    };
    const std::string path = "/game/gta3.img";
    const Command commands[] = {
        {"add",
         [&](archive::FileSystem& fs, Report& r) {
             return AddFiles(path, {"/mod/a.dff", "/mod/n.txd"}, fs, r);
         }},
        {"remove", [&](archive::FileSystem& fs, Report& r) { return RemoveEntries(path, {"b.txd"}, fs, r); }},
        {"rebuild", [&](archive::FileSystem& fs, Report& r) { return RebuildArchive(path, fs, r); }},
    };
    for (const Command& command : commands)
        for (const ErrorKind kind : kinds) {
            bool sawOld = false, sawNew = false;
            for (const Fault fault : {Fault::Error, Fault::ErrorAfterDone}) {
                for (int k = 1;; ++k) {
                    archive::testing::MemoryFileSystem fs;
                    MakeArchive(fs, path,
                                {{"a.dff", Pattern(3000, 1)}, {"b.txd", Pattern(100, 2)}, {"c.dff", Pattern(50, 3)}});
                    fs.SetFile("/mod/a.dff", Pattern(5000, 4));
                    fs.SetFile("/mod/n.txd", Pattern(10, 5));
                    const Bytes before = fs.Contents(path);
                    RecordingReport report;
                    bool fired = false;
                    ExitStatus status = ExitStatus::Ok;
                    {
                        archive::testing::FaultFileSystem faulty(fs, archive::testing::Crash{fault, {}, 0, kind}, k);
                        status = command.run(faulty, report);
                        fired = faulty.Fired();
                    }
                    const std::string what =
                        std::string(command.what) + ", " + FaultName(fault) + " at step " + std::to_string(k);
                    (void)archive::Archive::Open(path, fs);  // finishes what was left
                    const bool unchanged = fs.Contents(path) == before;
                    if (report.Has("nothing was changed") || report.Has("left as it was")) {
                        EXPECT_TRUE(unchanged) << what << "\n" << report.All();
                        sawOld = true;
                    } else if (status != ExitStatus::Ok) {
                        EXPECT_FALSE(unchanged) << what << ": a failure that does not say so changed nothing\n"
                                                << report.All();
                        EXPECT_TRUE(report.Has("opening the archive again completed it") ||
                                    report.Has("saved: saving was interrupted"))
                            << what << "\n"
                            << report.All();
                        sawNew = true;
                    }
                    if (!fired) break;
                    ASSERT_LT(k, 200);
                }
            }
            EXPECT_TRUE(sawOld) << command.what;
            EXPECT_TRUE(sawNew) << command.what;
        }
}

}  // namespace
}  // namespace veltrin::tool

namespace veltrin::tool {
namespace {

using namespace testing;

// add, remove and rebuild broken by every crash (errors, a kill, power
// cuts that lose, keep or tear what was not flushed) at every step, under
// both systems' rules for names: the archive is its old or its new self,
// and what the command printed before it ended holds (a save it called
// done is there; "nothing was changed" means nothing was).
TEST(CommandsCrash, EveryCommandThatSavesIsOldOrNewAndSaidSoTruly) {
    using archive::testing::Crash;
    using archive::testing::NameRules;
    const std::string path = "/game/gta3.img";
    struct Command {
        const char* what;
        std::function<ExitStatus(archive::FileSystem&, Report&)> run;
        const char* done;  // the line that says the save went through
    };
    const Command commands[] = {
        {"add",
         [&](archive::FileSystem& fs, Report& r) {
             return AddFiles(path, {"/mod/a.dff", "/mod/n.txd"}, fs, r);
         },
         "saved"},
        {"remove", [&](archive::FileSystem& fs, Report& r) { return RemoveEntries(path, {"c.dff"}, fs, r); }, "saved"},
        {"rebuild", [&](archive::FileSystem& fs, Report& r) { return RebuildArchive(path, fs, r); }, "rebuilt"},
    };
    for (const Command& command : commands)
        for (const NameRules rules : {NameRules::Windows, NameRules::Posix})
            for (const Crash& crash : archive::testing::EveryCrash(1)) {
                Bytes before, after;
                bool sawOld = false, sawNew = false;
                for (int k = 0;; ++k) {
                    archive::testing::MemoryFileSystem fs(rules);
                    MakeArchive(fs, path,
                                {{"a.dff", Pattern(3000, 1)}, {"b.txd", Pattern(100, 2)}, {"c.dff", Pattern(50, 3)}});
                    fs.SetFile("/mod/a.dff", Pattern(5000, 4));
                    fs.SetFile("/mod/n.txd", Pattern(10, 5));
                    if (k == 0) before = fs.Contents(path);
                    RecordingReport report;
                    bool fired = false;
                    {
                        archive::testing::FaultFileSystem faulty(fs, crash, k);
                        const ExitStatus status = command.run(faulty, report);
                        fired = faulty.Fired();
                        if (k == 0) {
                            ASSERT_EQ(status, ExitStatus::Ok) << report.All();
                        }
                    }
                    if (k == 0) {
                        after = fs.Contents(path);
                        continue;
                    }
                    const std::string what = std::string(command.what) + ", " +
                                             (rules == NameRules::Posix ? "POSIX" : "Windows") + ", " +
                                             archive::testing::CrashName(crash) + " at step " + std::to_string(k);
                    (void)archive::Archive::Open(path, fs);  // the next run finishes what was left
                    const Bytes now = fs.Contents(path);
                    const bool isOld = now == before, isNew = now == after;
                    EXPECT_TRUE(isOld || isNew) << what << ": neither old nor new\n" << report.All();
                    sawOld = sawOld || isOld;
                    sawNew = sawNew || isNew;
                    for (const std::string& line : report.lines) {
                        if (line.starts_with(command.done)) {
                            EXPECT_TRUE(isNew) << what << ": it said \"" << line << "\"";
                        }
                        if (line.find("nothing was changed") != std::string::npos) {
                            EXPECT_TRUE(isOld) << what << ": it said \"" << line << "\"";
                        }
                    }
                    EXPECT_EQ(fs.Paths(), (std::vector<std::string>{path, "/mod/a.dff", "/mod/n.txd"})) << what;
                    if (!fired) break;
                    ASSERT_LT(k, 300);
                }
                EXPECT_TRUE(sawOld && sawNew) << command.what << ", " << archive::testing::CrashName(crash);
            }
}

}  // namespace
}  // namespace veltrin::tool
