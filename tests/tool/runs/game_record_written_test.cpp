// The records of installs the real runs leave beside an archive, read by the
// reader written apart from the codec (tests/support/game_record_reader.h)
// and held against the disk: the installs in order with their folders, the
// computer, the time and the mod digest as the format defines it; per entry
// what it held before (its bytes in the originals store, of that SHA-256)
// and what the install put in (the mod file's size and SHA-256); the layout
// the archive had before the first install and the state the last run left.
#include <gtest/gtest.h>
#include <map>

#include <algorithm>
#include <string>
#include <vector>

#include "game_record_reader.h"
#include "testing/memory_file_system.h"
#include "tool/runs/game_record.h"
#include "tool/runs/script_runner.h"
#include "tool_test_support.h"

namespace veltrin::tool {
namespace {

using namespace testing;
using archive::testing::MemoryFileSystem;
namespace independent = veltrin::testing::game_record;
using Mod = std::vector<std::pair<std::string, Bytes>>;  // gta3.img's files

std::string Quoted(const std::string& path) {
    std::string text = "\"";
    for (const char c : path) text += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return text + "\"";
}

std::string ScriptOf(const std::string& app, const Mod& mod) {
    std::string text = "-open " + Quoted(kGta3) + "\r\n";
    for (const auto& [name, bytes] : mod)
        text += "-export " + Quoted(name) + " " + Quoted(app + "\\Backups\\gta3.img\\" + name) + "\r\n";
    for (const auto& [name, bytes] : mod) text += "-import " + Quoted(app + "\\gta3.img\\" + name) + "\r\n";
    return text + "-close\r\n";
}

Bytes FromHex(const std::string& hex) {
    Bytes bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// The mod digest as the format defines it: over the files' names, ASCII
// case folded and sorted, each followed by a NUL byte and its data's SHA-256.
std::string ModHex(Mod mod) {
    for (auto& [name, bytes] : mod)
        std::transform(name.begin(), name.end(), name.begin(),
                       [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    std::sort(mod.begin(), mod.end());
    Bytes all;
    for (const auto& [name, bytes] : mod) {
        all.insert(all.end(), name.begin(), name.end());
        all.push_back(0);
        const Bytes digest = FromHex(independent::Sha256Hex(bytes));
        all.insert(all.end(), digest.begin(), digest.end());
    }
    return independent::Sha256Hex(all);
}

std::string Lower(std::string text) {
    for (char& c : text) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    return text;
}

// An archive's header and directory: "VER2", the count of records, then
// 32 bytes a record.
Bytes DirectoryOf(const Bytes& archive) {
    uint64_t count = 0;
    for (int i = 0; i < 4; ++i) count |= uint64_t{archive.at(static_cast<size_t>(4 + i))} << (8 * i);
    return Bytes(archive.begin(), archive.begin() + static_cast<std::ptrdiff_t>(8 + 32 * count));
}

TEST(GameRecordWritten, ReadsAsTheFormatSaysThroughAReaderWrittenApart) {
    MemoryFileSystem fs;
    const Bytes game = Pattern(3000, 1);
    MakeArchive(fs, kGta3, {{"a.dff", game}, {"other.dff", Pattern(5000, 3)}});
    const Bytes stock = fs.Contents(kGta3);
    const Mod modA = {{"a.dff", Pattern(4500, 11)}, {"Cap.txd", Pattern(700, 13)}};
    const Mod modB = {{"A.DFF", Pattern(1200, 21)}};
    const std::string appA = R"(D:\Mod A)";
    const std::string appB = R"(E:\Mod B)";
    const std::string copyA = R"(D:\Downloads\Mod A (2))";
    const auto install = [&](const std::string& app, const Mod& mod) {
        for (const auto& [name, bytes] : mod) fs.SetFile(app + "\\gta3.img\\" + name, bytes);
        RecordingReport report;
        ASSERT_EQ(RunScript(app + "\\Install.dat", ScriptOf(app, mod), fs, report, "PLAYER-PC"), ExitStatus::Ok)
            << report.All();
    };
    // A, then B over a.dff, then a fresh copy of A: the same install as A,
    // which goes on top again.
    install(appA, modA);
    install(appB, modB);
    const Content beforeCopy = ReadContent(fs, kGta3);
    install(copyA, modA);

    std::string why;
    const Bytes recordBytes = fs.Contents(GameRecordPathFor(kGta3));
    const Bytes directoryNow = DirectoryOf(fs.Contents(kGta3));
    const auto read = independent::Read(recordBytes, &why, &directoryNow);
    ASSERT_TRUE(read.has_value()) << why;
    EXPECT_FALSE(read->layoutsUnread);
    ASSERT_TRUE(read->hasLayout);
    // It keeps no copy of a directory: neither the stock one, which its
    // layout gives back, nor the one now.
    for (const Bytes& directory : {DirectoryOf(stock), directoryNow})
        EXPECT_EQ(std::search(recordBytes.begin(), recordBytes.end(), directory.begin(), directory.end()),
                  recordBytes.end());
    EXPECT_EQ(read->layoutSize, stock.size());
    EXPECT_TRUE(std::equal(read->front.begin(), read->front.end(), stock.begin())) << "the front is not the stock's";
    EXPECT_GE(read->front.size(), size_t{2048});
    ASSERT_TRUE(read->hasLeft);
    EXPECT_EQ(read->leftSize, fs.Contents(kGta3).size());

    ASSERT_EQ(read->installs.size(), 2u);
    const independent::Install& b = read->installs[0];
    const independent::Install& a = read->installs[1];
    EXPECT_EQ(b.folders, std::vector<std::string>{appB});
    EXPECT_EQ(a.folders, (std::vector<std::string>{appA, copyA}));
    EXPECT_EQ(a.modHex, ModHex(modA));
    EXPECT_EQ(b.modHex, ModHex(modB));
    for (const auto* each : {&a, &b}) {
        EXPECT_EQ(each->computer, "PLAYER-PC");
        EXPECT_GT(each->time, uint64_t{1'600'000'000});
    }
    EXPECT_LE(b.time, a.time);
    // The waiting record moved into place: it names the save that wrote it,
    // the fresh copy's, which put A's files back on top.
    ASSERT_TRUE(read->save.hasFound);
    ASSERT_EQ(read->save.puts.size(), modA.size());
    for (const independent::Put& put : read->save.puts) {
        const auto file = std::find_if(modA.begin(), modA.end(), [&](const auto& f) { return f.first == put.name; });
        ASSERT_NE(file, modA.end()) << put.name;
        EXPECT_FALSE(put.removed);
        EXPECT_EQ(put.hex, independent::Sha256Hex(file->second));
    }

    // B lies on the game's own a.dff; A, on top, on what B put in (as the
    // entry stored it then). A added Cap.txd.
    ASSERT_EQ(b.entries.size(), 1u);
    EXPECT_EQ(Lower(b.entries[0].name), "a.dff");
    EXPECT_FALSE(b.entries[0].added);
    EXPECT_EQ(b.entries[0].beforeHex, independent::Sha256Hex(Stored(game)));
    EXPECT_EQ(b.entries[0].beforeSize, Stored(game).size());
    ASSERT_EQ(a.entries.size(), 2u);
    for (const independent::Layer& layer : a.entries) {
        SCOPED_TRACE(layer.name);
        const auto file = std::find_if(modA.begin(), modA.end(), [&](const auto& f) { return f.first == layer.name; });
        ASSERT_NE(file, modA.end());
        EXPECT_EQ(layer.putSize, file->second.size());
        EXPECT_EQ(layer.putHex, independent::Sha256Hex(file->second));
        if (Lower(layer.name) == "a.dff") {
            EXPECT_FALSE(layer.added);
            EXPECT_EQ(layer.beforeHex, independent::Sha256Hex(beforeCopy[0].second));
        } else {
            EXPECT_TRUE(layer.added);
        }
    }
    // Every original a layer names is in the store, whole, of that SHA-256:
    // in the pack the record names, at its offset. Each install's save wrote
    // one pack; none holds a byte that no layer names.
    std::map<std::string, uint64_t> packed;  // pack -> bytes the layers name in it
    for (const auto* each : {&a, &b})
        for (const independent::Layer& layer : each->entries) {
            if (layer.added) continue;
            ASSERT_EQ(layer.beforePack.size(), 64u + 5u) << layer.name;
            EXPECT_EQ(layer.beforePack.substr(64), ".pack") << layer.name;
            const std::string path = kGta3 + ".originals\\" + layer.beforePack;
            ASSERT_TRUE(fs.Exists(path)) << layer.name;
            const Bytes pack = fs.Contents(path);
            ASSERT_LE(layer.beforeOffset + layer.beforeSize, pack.size()) << layer.name;
            const auto from = pack.begin() + static_cast<std::ptrdiff_t>(layer.beforeOffset);
            const Bytes kept(from, from + static_cast<std::ptrdiff_t>(layer.beforeSize));
            EXPECT_EQ(independent::Sha256Hex(kept), layer.beforeHex) << layer.name;
            packed[path] += layer.beforeSize;
        }
    for (const auto& [path, bytes] : packed) EXPECT_EQ(fs.Contents(path).size(), bytes) << path;
}

}  // namespace
}  // namespace veltrin::tool
