// The install record as a file: where it lies, that it reads back as written,
// and that a record torn anywhere, changed in any byte or of another version
// is refused rather than trusted.
#include "tool/runs/install_record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/sha256.h"
#include "testing/memory_file_system.h"
#include "tool_test_support.h"

namespace veltrin::tool {
namespace {

using namespace testing;
using archive::testing::MemoryFileSystem;

// A record written field by field, as an earlier version wrote it.
struct Fields {
    std::vector<uint8_t> bytes;
    void Raw(std::string_view text) { bytes.insert(bytes.end(), text.begin(), text.end()); }
    void U32(uint32_t value) {
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    void U64(uint64_t value) {
        for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    void Text(std::string_view value) {
        U32(static_cast<uint32_t>(value.size()));
        Raw(value);
    }
    // The mark, the version, the computer and how many archives follow.
    void Header(uint32_t version, uint32_t archives) {
        Raw(std::string_view("VeltrinRecord\r\n\x1a"));
        U32(version);
        Text("PLAYER-PC");
        U32(archives);
    }
    std::vector<uint8_t> Sealed() {
        const archive::Digest seal = archive::Sha256Of(bytes);
        bytes.insert(bytes.end(), seal.begin(), seal.end());
        return bytes;
    }
};

InstallRecord Sample() {
    InstallRecord record;
    record.computer = "PLAYER-PC";
    RecordedArchive gta3;
    gta3.path = R"(C:\Games\GTA San Andreas\models\gta3.img)";
    gta3.layout = archive::Layout{Pattern(4096, 1), Pattern(100, 9), 123 * 2048 + 100};
    gta3.found = archive::ArchiveState{archive::Sha256Of(Pattern(10, 2)), 99 * 2048};
    gta3.left = archive::ArchiveState{archive::Sha256Of(Pattern(10, 3)), 123 * 2048};
    gta3.entries.push_back({"infernus.dff",
                            false,
                            R"(D:\Mod\Backups\gta3.img\INFERNUS.dff)",
                            40,
                            3,
                            {7000, archive::Sha256Of(Pattern(7000, 4))},
                            PutData{3 * 2048, archive::Sha256Of(Pattern(3 * 2048, 8))}});
    gta3.entries.push_back({"veltrin.dff",
                            true,
                            R"(D:\Mod\Backups\gta3.img\veltrin.dff)",
                            0,
                            0,
                            {700, archive::Sha256Of(Pattern(700, 5))},
                            std::nullopt});
    RecordedArchive player;  // one whose first layout is not kept
    player.path = R"(C:\Games\GTA San Andreas\models\player.img)";
    player.layoutNotKept = "its entries do not follow one another";
    player.entries.push_back({"vest.dff", false, "", 7, 1, {10, archive::Sha256Of(Pattern(10, 6))}, std::nullopt});
    record.archives = {gta3, player};
    return record;
}

TEST(InstallRecord, LiesInTheBackupsFolderBesideTheScript) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"(D:\Mod Folder\Install.dat)", R"(D:\Mod Folder\Backups\Install.record)"},
        {R"(U:\Install.dat)", R"(U:\Backups\Install.record)"},
        {"/app/Install.dat", "/app/Backups/Install.record"},
        {R"(\\server\share\mod\Install.dat)", R"(\\server\share\mod\Backups\Install.record)"},
    };
    for (const auto& [script, record] : cases) EXPECT_EQ(RecordPathFor(script), record) << script;
    const std::string bare = RecordPathFor("Install.dat");
    EXPECT_TRUE(bare == "Backups/Install.record" || bare == R"(Backups\Install.record)") << bare;
}

TEST(InstallRecord, ReadsBackAsWrittenAndIsGoneOnceItHoldsNoArchive) {
    MemoryFileSystem fs;
    const std::string path = R"(D:\Mod\Backups\Install.record)";
    EXPECT_FALSE(ReadRecord(fs, path).has_value());
    const InstallRecord written = Sample();
    WriteRecord(fs, path, written);
    const std::optional<InstallRecord> read = ReadRecord(fs, path);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(EncodeRecord(*read), EncodeRecord(written));
    EXPECT_EQ(read->computer, "PLAYER-PC");
    ASSERT_EQ(read->archives.size(), 2u);
    EXPECT_EQ(read->archives[0].layout->front, Pattern(4096, 1));
    EXPECT_EQ(read->archives[0].layout->tail, Pattern(100, 9));
    EXPECT_EQ(read->archives[0].layout->fileSize, 123u * 2048 + 100);
    EXPECT_EQ(read->archives[0].entries, written.archives[0].entries);
    EXPECT_FALSE(read->archives[1].layout.has_value());
    EXPECT_EQ(read->archives[1].layoutNotKept, "its entries do not follow one another");
    EXPECT_FALSE(read->archives[1].left.has_value());
    EXPECT_NE(read->Find(R"(c:\games\gta san andreas\MODELS\GTA3.IMG)"), nullptr);
    EXPECT_NE(read->archives[0].Find("INFERNUS.DFF"), nullptr);
    for (const std::string& file : fs.Paths()) EXPECT_EQ(file.find(".partial"), std::string::npos) << file;

    WriteRecord(fs, path, InstallRecord{"PLAYER-PC", {}});
    EXPECT_FALSE(fs.Exists(path));
}

TEST(InstallRecord, ATornChangedOrForeignRecordIsRefused) {
    const std::vector<uint8_t> bytes = EncodeRecord(Sample());
    for (size_t length = 0; length < bytes.size(); ++length)
        EXPECT_THROW(DecodeRecord(std::span(bytes).first(length)), RecordError) << "torn at " << length;
    for (size_t at = 0; at < bytes.size(); at += 5) {
        std::vector<uint8_t> changed = bytes;
        changed[at] ^= 0x01;
        EXPECT_THROW(DecodeRecord(changed), RecordError) << "changed at " << at;
    }
    std::vector<uint8_t> longer = bytes;
    longer.push_back(0);
    EXPECT_THROW(DecodeRecord(longer), RecordError);

    // A later version, sealed as it should be: refused for its version.
    std::vector<uint8_t> later(bytes.begin(), bytes.end() - 32);
    later[16] = 6;
    const archive::Digest seal = archive::Sha256Of(later);
    later.insert(later.end(), seal.begin(), seal.end());
    try {
        DecodeRecord(later);
        ADD_FAILURE() << "a record of version 6 was read";
    } catch (const RecordError& error) {
        EXPECT_NE(std::string(error.what()).find("version 6"), std::string::npos) << error.what();
    }
}

// A record written for a save names it, and one written without names none.
// Version 4 wrote the same without what each backup holds: its backups read
// as ones whose bytes are not checked.
TEST(InstallRecord, TheSaveItWasWrittenForReadsBack) {
    const RecordSave save{R"(C:\Games\GTA San Andreas\models\gta3.img)",
                          {{"infernus.dff", {7000, archive::Sha256Of(Pattern(7000, 3))}}, {"veltrin.dff", {}}},
                          {"infernus.dff"}};
    std::optional<RecordSave> read;
    const InstallRecord record = DecodeRecord(EncodeRecord(Sample(), {}, &save), {}, &read);
    EXPECT_EQ(EncodeRecord(record), EncodeRecord(Sample()));
    EXPECT_EQ(read, save);
    const std::vector<uint8_t> without = EncodeRecord(Sample());
    (void)DecodeRecord(without, {}, &read);
    EXPECT_FALSE(read.has_value());

    Fields f;
    const archive::Digest put = archive::Sha256Of(Pattern(7000, 3));
    f.Header(4, 1);
    f.Text(save.archive);
    f.bytes.push_back(0);  // no layout
    f.Text(kKeptByTheGame);
    f.bytes.push_back(0);  // nothing found
    f.bytes.push_back(0);  // nothing left
    f.U32(1);              // entries
    f.Text("infernus.dff");
    f.bytes.push_back(0);  // replaced
    f.bytes.push_back(1);  // inside the folder
    f.Text(R"(gta3.img\INFERNUS.dff)");
    f.U32(40);
    f.U32(3);
    f.U64(7000);
    f.bytes.insert(f.bytes.end(), put.begin(), put.end());
    f.bytes.push_back(1);  // the save
    f.Text(save.archive);
    f.U32(1);
    f.Text("infernus.dff");
    f.U64(7000);
    f.bytes.insert(f.bytes.end(), put.begin(), put.end());
    f.U32(1);
    f.Text("infernus.dff");
    const InstallRecord version4 = DecodeRecord(f.Sealed(), R"(D:\Mod\Backups)", &read);
    ASSERT_EQ(version4.archives.size(), 1u);
    ASSERT_EQ(version4.archives[0].entries.size(), 1u);
    EXPECT_EQ(version4.archives[0].entries[0].backup, R"(D:\Mod\Backups\gta3.img\INFERNUS.dff)");
    EXPECT_FALSE(version4.archives[0].entries[0].backupHolds.has_value());
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->puts, (std::vector<PendingPut>{{"infernus.dff", {7000, put}}}));
    EXPECT_EQ(read->made, std::vector<std::string>{"infernus.dff"});
}

// The application folder is moved or renamed between an install and its
// undo: the backups in its Backups folder are read where they are now. A
// backup elsewhere keeps its whole path.
TEST(InstallRecord, BackupsInsideItsFolderAreFoundWhereTheFolderIsNow) {
    MemoryFileSystem fs;
    InstallRecord written = Sample();
    WriteRecord(fs, R"(D:\Mod\Backups\Install.record)", written);
    const std::string moved = R"(E:\Moved here\Backups\Install.record)";
    fs.SetFile(moved, fs.Contents(R"(D:\Mod\Backups\Install.record)"));
    const std::optional<InstallRecord> read = ReadRecord(fs, moved);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->archives[0].entries[0].backup, R"(E:\Moved here\Backups\gta3.img\INFERNUS.dff)");
    EXPECT_EQ(read->archives[0].entries[1].backup, R"(E:\Moved here\Backups\gta3.img\veltrin.dff)");
    EXPECT_EQ(read->archives[0].path, written.archives[0].path) << "the game did not move";

    // A backup anywhere but below the folder is stored whole, and refused
    // when read: the undo would remove it.
    written.archives[1].entries[0].backup = R"(D:\Mod\Backups old\player.img\vest.dff)";
    WriteRecord(fs, R"(D:\Mod\Backups\Install.record)", written);
    EXPECT_THROW((void)ReadRecord(fs, R"(D:\Mod\Backups\Install.record)"), RecordError);
}

// Version 2: a layout of front bytes and a size only, and nothing said when
// there is none. Its layout reads back without the bytes after the last
// entry (the undo then checks whether it can give it back).
TEST(InstallRecord, ARecordOfVersion2IsStillRead) {
    Fields f;
    f.Header(2, 2);
    f.Text(R"(C:\Games\GTA San Andreas\models\gta3.img)");
    f.bytes.push_back(1);  // a layout
    f.U64(5 * 2048);
    f.U64(2048);
    f.bytes.insert(f.bytes.end(), 2048, 7);
    f.bytes.push_back(0);  // nothing found
    f.bytes.push_back(0);  // nothing left
    f.U32(0);              // entries
    f.Text(R"(C:\Games\GTA San Andreas\models\player.img)");
    f.bytes.push_back(0);  // no layout, and no word on why
    f.bytes.push_back(0);
    f.bytes.push_back(0);
    f.U32(0);
    const InstallRecord read = DecodeRecord(f.Sealed(), R"(E:\Moved\Backups)");
    ASSERT_EQ(read.archives.size(), 2u);
    ASSERT_TRUE(read.archives[0].layout.has_value());
    EXPECT_EQ(read.archives[0].layout->front, std::vector<uint8_t>(2048, 7));
    EXPECT_TRUE(read.archives[0].layout->tail.empty());
    EXPECT_EQ(read.archives[0].layout->fileSize, 5u * 2048);
    EXPECT_FALSE(read.archives[1].layout.has_value());
    EXPECT_EQ(read.archives[1].layoutNotKept, "");
}

// A record as version 1 wrote it: every backup's path whole, no flag before
// it.
TEST(InstallRecord, ARecordOfVersion1IsStillRead) {
    Fields f;
    const archive::Digest put = archive::Sha256Of(Pattern(7000, 4));
    f.Header(1, 1);
    f.Text(R"(C:\Games\GTA San Andreas\models\gta3.img)");
    f.bytes.push_back(0);  // no layout
    f.bytes.push_back(0);  // nothing found
    f.bytes.push_back(0);  // nothing left
    f.U32(1);              // entries
    f.Text("infernus.dff");
    f.bytes.push_back(0);  // replaced
    f.Text(R"(D:\Mod\Backups\gta3.img\INFERNUS.dff)");
    f.U32(40);
    f.U32(3);
    f.U64(7000);
    f.bytes.insert(f.bytes.end(), put.begin(), put.end());

    // Read where it was written; moved, its whole paths lie outside the
    // folder, where the tool removes nothing.
    const std::vector<uint8_t> sealed = f.Sealed();
    EXPECT_THROW(DecodeRecord(sealed, R"(E:\Moved\Backups)"), RecordError);
    const InstallRecord read = DecodeRecord(sealed, R"(D:\Mod\Backups)");
    ASSERT_EQ(read.archives.size(), 1u);
    ASSERT_EQ(read.archives[0].entries.size(), 1u);
    const RecordedEntry& entry = read.archives[0].entries[0];
    EXPECT_EQ(entry.backup, R"(D:\Mod\Backups\gta3.img\INFERNUS.dff)");
    EXPECT_EQ(entry.at, 40u);
    EXPECT_EQ(entry.sectors, 3u);
    EXPECT_EQ(entry.put.size, 7000u);
    EXPECT_TRUE(entry.put.digest == put);
}

}  // namespace
}  // namespace veltrin::tool
