// Writes the seed corpus of the install record fuzzer into the folder given:
// the records real installs leave in their folder's Backups (through the
// install run on a disk held in memory), as bodies behind the byte that picks
// the version (0: the version the tool writes).
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "testing/memory_file_system.h"
#include "tool/common/report.h"
#include "tool/runs/install_record.h"
#include "tool/runs/script_runner.h"

namespace {

using namespace veltrin;
using archive::testing::MemoryFileSystem;
using Bytes = std::vector<uint8_t>;

constexpr size_t kMarkAndVersion = 16 + 4;
constexpr size_t kSeal = 32;

const std::string kGame = R"(C:\Games\GTA San Andreas)";
const std::string kApp = R"(D:\Mod Folder)";

class QuietReport final : public tool::Report {
public:
    void Line(std::string_view) override {}
    void Progress(std::string_view, uint64_t, uint64_t) override {}
};

Bytes Pattern(size_t size, uint8_t seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
    return bytes;
}

std::string Escaped(const std::string& path) {
    std::string escaped;
    for (const char c : path) {
        escaped += c;
        if (c == '\\') escaped += '\\';
    }
    return "\"" + escaped + "\"";
}

// The installer's script: each archive's block backs up and imports the files.
std::string Script(const std::vector<std::pair<std::string, std::vector<std::string>>>& blocks) {
    std::string text;
    for (const auto& [archive, names] : blocks) {
        text += "-open " + Escaped(kGame + "\\models\\" + archive) + "\r\n";
        for (const auto& name : names)
            text += "-export " + Escaped(name) + " " + Escaped(kApp + "\\Backups\\" + archive + "\\" + name) + "\r\n";
        for (const auto& name : names) text += "-import " + Escaped(kApp + "\\" + archive + "\\" + name) + "\r\n";
        text += "-close\r\n";
    }
    return text;
}

void MakeArchive(MemoryFileSystem& fs, const std::string& path,
                 const std::vector<std::pair<std::string, Bytes>>& entries) {
    auto made = archive::Archive::Create(path, fs);
    for (const auto& [name, bytes] : entries) made.Put(name, bytes);
    made.Commit();
}

void WriteSeed(const std::string& folder, size_t index, const Bytes& record) {
    if (record.size() < kMarkAndVersion + kSeal) {
        std::fprintf(stderr, "seed %zu: no record\n", index);
        std::exit(1);
    }
    std::ofstream out(folder + "/seed_" + std::to_string(index), std::ios::binary);
    out.put(0);
    out.write(reinterpret_cast<const char*>(record.data() + kMarkAndVersion),
              static_cast<std::streamsize>(record.size() - kMarkAndVersion - kSeal));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    MemoryFileSystem fs;
    const std::string gta3 = kGame + R"(\models\gta3.img)";
    const std::string player = kGame + R"(\models\player.img)";
    MakeArchive(fs, gta3, {{"a.dff", Pattern(3000, 1)}, {"b.txd", Pattern(100, 2)}, {"other.dff", Pattern(5000, 3)}});
    MakeArchive(fs, player, {{"c.dff", Pattern(2048, 4)}});
    fs.SetFile(kApp + R"(\gta3.img\a.dff)", Pattern(4500, 11));
    fs.SetFile(kApp + R"(\gta3.img\new.dff)", Pattern(700, 13));
    fs.SetFile(kApp + R"(\player.img\c.dff)", Pattern(2049, 14));
    const std::string script = kApp + R"(\Install.dat)";
    const std::string recordPath = tool::RecordPathFor(script);
    QuietReport report;
    std::vector<Bytes> records;

    // One archive, then both, then the same again after another program
    // changed gta3.img between the installs (its layout is no longer kept).
    (void)tool::RunScript(script, Script({{"gta3.img", {"a.dff", "new.dff"}}}), fs, report, "PLAYER-PC");
    records.push_back(fs.Contents(recordPath));
    (void)tool::RunScript(script, Script({{"gta3.img", {"a.dff", "new.dff"}}, {"player.img", {"c.dff"}}}), fs, report,
                          "PLAYER-PC");
    records.push_back(fs.Contents(recordPath));
    {
        auto opened = archive::Archive::Open(gta3, fs);
        opened.Put("elsewhere.dff", Pattern(900, 21));
        opened.Commit();
    }
    (void)tool::RunScript(script, Script({{"gta3.img", {"a.dff"}}, {"player.img", {"c.dff"}}}), fs, report,
                          "PLAYER-PC");
    records.push_back(fs.Contents(recordPath));
    for (size_t i = 0; i < records.size(); ++i) WriteSeed(argv[1], i, records[i]);
    return 0;
}
