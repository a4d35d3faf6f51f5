// Writes the seed corpus of the game record fuzzer into the folder given:
// the records of installs real installs leave beside gta3.img (through the
// install and undo runs on a disk held in memory): one mod; two mods from two
// folders over the same entries; a fresh copy of the first on top again; the
// first undone out of order; and the same after another program changed the
// archive. Each is a body behind the byte that picks the version (0: the
// version the tool writes) and gta3.img's header and directory as that
// record left it (a 16-bit length, then the bytes), which its layouts are
// read against.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "testing/memory_file_system.h"
#include "tool/common/report.h"
#include "tool/runs/game_record.h"
#include "tool/runs/restore.h"
#include "tool/runs/script_runner.h"

namespace {

using namespace veltrin;
using archive::testing::MemoryFileSystem;
using Bytes = std::vector<uint8_t>;
using Mod = std::vector<std::pair<std::string, Bytes>>;  // gta3.img's files

constexpr size_t kMarkAndVersion = 18 + 4;
constexpr size_t kSeal = 32;
const std::string kGta3 = R"(C:\Games\GTA San Andreas\models\gta3.img)";

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

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    MemoryFileSystem fs;
    {
        auto made = archive::Archive::Create(kGta3, fs);
        made.Put("a.dff", Pattern(3000, 1));
        made.Put("other.dff", Pattern(5000, 3));
        made.Commit();
    }
    const Mod modA = {{"a.dff", Pattern(4500, 11)}, {"cap.txd", Pattern(700, 13)}};
    const Mod modB = {{"A.DFF", Pattern(1200, 21)}, {"cap.txd", Pattern(700, 13)}, {"b.dff", Pattern(90, 22)}};
    const std::string appA = R"(D:\Mod A)";
    const std::string appB = R"(E:\Mod B é)";
    const std::string copyA = R"(D:\Downloads\Mod A (2))";
    QuietReport report;
    std::vector<Bytes> seeds;
    std::vector<Bytes> directories;
    const auto keep = [&] {
        seeds.push_back(fs.Contents(tool::GameRecordPathFor(kGta3)));
        directories.push_back(archive::Archive::Open(kGta3, fs).CurrentDirectory());
    };
    const auto install = [&](const std::string& app, const Mod& mod) {
        for (const auto& [name, bytes] : mod) fs.SetFile(app + "\\gta3.img\\" + name, bytes);
        const std::string script = ScriptOf(app, mod);
        fs.SetFile(app + "\\Install.dat", Bytes(script.begin(), script.end()));
        if (tool::RunScript(app + "\\Install.dat", script, fs, report, "PLAYER-PC") != tool::ExitStatus::Ok) {
            std::fprintf(stderr, "the install from %s failed\n", app.c_str());
            std::exit(1);
        }
        keep();
    };
    install(appA, modA);
    install(appB, modB);
    install(copyA, modA);
    (void)tool::RestoreFromScript(appB + "\\Install.dat", ScriptOf(appB, modB), fs, report);
    keep();
    {
        auto opened = archive::Archive::Open(kGta3, fs);
        opened.Put("other.dff", Pattern(900, 40));
        opened.Commit();
    }
    install(appB, modB);
    for (size_t i = 0; i < seeds.size(); ++i) {
        std::ofstream out(std::string(argv[1]) + "/seed_" + std::to_string(i), std::ios::binary);
        out.put(0);
        out.put(static_cast<char>(directories[i].size() & 0xff));
        out.put(static_cast<char>(directories[i].size() >> 8));
        out.write(reinterpret_cast<const char*>(directories[i].data()),
                  static_cast<std::streamsize>(directories[i].size()));
        out.write(reinterpret_cast<const char*>(seeds[i].data() + kMarkAndVersion),
                  static_cast<std::streamsize>(seeds[i].size() - kMarkAndVersion - kSeal));
    }
    return 0;
}
