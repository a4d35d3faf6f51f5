// Writes the seed corpus of the game record fuzzer into the folder given:
// records of installs into an archive made on a disk held in memory (its
// layout, the state it was left in, and the layers of three installs over
// it, as the game's record holds them), as bodies behind the byte that picks
// the version (0: the version the tool writes).
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/sha256.h"
#include "testing/memory_file_system.h"
#include "tool/runs/game_record.h"

namespace {

using namespace veltrin;
using archive::testing::MemoryFileSystem;
using Bytes = std::vector<uint8_t>;

constexpr size_t kMarkAndVersion = 18 + 4;
constexpr size_t kSeal = 32;

Bytes Pattern(size_t size, uint8_t seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
    return bytes;
}

Bytes Stored(Bytes bytes) {
    bytes.resize((bytes.size() + archive::kSectorSize - 1) / archive::kSectorSize * archive::kSectorSize, 0);
    return bytes;
}

tool::PutData Put(const Bytes& file) { return {file.size(), archive::Sha256Of(file)}; }
tool::StoredContent Held(const Bytes& stored) { return {stored.size(), archive::Sha256Of(stored)}; }

tool::GameInstall Install(std::vector<std::string> folders, const std::vector<std::pair<std::string, Bytes>>& files,
                          uint64_t time) {
    tool::GameInstall install;
    install.folders = std::move(folders);
    std::vector<tool::ModFileDigest> digests;
    for (const auto& [name, data] : files) digests.push_back({name, archive::Sha256Of(data)});
    install.modDigest = tool::ModDigest(digests);
    install.computer = "PLAYER-PC";
    install.time = time;
    return install;
}

void WriteSeed(const std::string& folder, size_t index, const Bytes& record) {
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
    const std::string path = R"(C:\Games\GTA San Andreas\models\gta3.img)";
    const Bytes game = Pattern(3000, 1);
    const Bytes a = Pattern(4500, 11);
    const Bytes b = Pattern(1200, 12);
    const Bytes cap = Pattern(700, 13);
    tool::GameRecord record;
    {
        auto made = archive::Archive::Create(path, fs);
        made.Put("a.dff", game);
        made.Put("other.dff", Pattern(5000, 3));
        made.Commit();
        record.layout = made.CurrentLayout();
        record.left = made.CurrentState();
    }
    // Mod A replaces a.dff and adds cap.txd; mod B, from two folders, lies
    // over A in a.dff and adds the same cap.txd; mod C only adds.
    tool::GameInstall modA = Install({R"(D:\Downloads\Mod A)"}, {{"a.dff", a}, {"cap.txd", cap}}, 1'790'000'000);
    modA.entries = {{"a.dff", Held(Stored(game)), Put(a)}, {"cap.txd", std::nullopt, Put(cap)}};
    tool::GameInstall modB =
        Install({R"(D:\Downloads\Mod B)", R"(E:\Mod B (2))"}, {{"A.DFF", b}, {"cap.txd", cap}}, 1'790'000'100);
    modB.entries = {{"A.DFF", Held(Stored(a)), Put(b)}, {"cap.txd", Held(Stored(cap)), Put(cap)}};
    tool::GameInstall modC = Install({R"(\\nas\mods\Mod C é)"}, {{"new.dff", Pattern(10, 14)}}, 1'790'000'200);
    modC.entries = {{"new.dff", std::nullopt, Put(Pattern(10, 14))}};

    std::vector<Bytes> seeds;
    record.installs = {modA};
    seeds.push_back(tool::EncodeGameRecord(record));
    record.installs = {modA, modB, modC};
    seeds.push_back(tool::EncodeGameRecord(record));
    record.layout.reset();  // another program changed the archive since
    record.left.reset();
    seeds.push_back(tool::EncodeGameRecord(record));
    for (size_t i = 0; i < seeds.size(); ++i) WriteSeed(argv[1], i, seeds[i]);
    return 0;
}
