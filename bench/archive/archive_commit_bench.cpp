// Times the tool's own install and undo runs against a 1 GiB archive of
// 16,000 entries, each set against copying the archive with a flush to
// disk in the same run:
//  - a mod of 20 files (about 5 MB) that replace entries with larger data
//    and add new ones, and its undo, which must leave the archive identical
//    (SHA-256 of the whole file);
//  - the release payload (demo/mod), installed and undone;
//  - a mod whose files fit the sectors they replace (in place);
// with the bytes written and the most free space each run needed at once
// (the journal and the growth of the archive), and the bytes the game's
// record of installs adds beside the archives for the 5 MB mod (the records
// and the originals stores). Then 200 random installs and
// undos on one archive of 128 MiB, each undo in reverse order; after every
// step the layout is checked and every entry's content against a model.
// Last, mods of 2,000, 4,000 and 8,000 small files installed, installed
// again from the same folder, shown by status and undone: the time per file
// should not grow with the mod. In the series and for the mods installed
// again, the most heap a run takes (heap_meter.h) is set against twice the
// game's record beside the archive plus the archive's header and directory.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "archive/archive.h"
#include "archive/file_io.h"
#include "archive/sha256.h"
#include "block_lines.h"
#include "heap_meter.h"
#include "install/script.h"
#include "settle.h"
#include "tool/common/report.h"
#include "tool/runs/restore.h"
#include "tool/runs/script_runner.h"
#include "tool/shell/game_status.h"

namespace {

namespace fs = std::filesystem;
using namespace veltrin::archive;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kEntries = 16000;
constexpr uint32_t kPlayerEntries = 400;
constexpr size_t kSmallFileBytes = 45 * 1024;  // the two-archive mod's files: 20 come to 0.9 MB
constexpr uint32_t kLargeEvery = 800;          // room for in-place replacements
constexpr uint32_t kLargeSectors = 200;
constexpr size_t kFileBytes = 250 * 1024;  // 20 files: about 5 MB
constexpr size_t kBlock = size_t{4} << 20;
constexpr int kRounds = 5;

uint32_t SectorsOf(uint32_t i) { return i % kLargeEvery == 0 ? kLargeSectors : 17 + (i * 7919u) % 31u; }
std::string NameOf(uint32_t i) { return "entry" + std::to_string(i) + (i % 2 ? ".txd" : ".dff"); }

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }
double Megabytes(uint64_t bytes) { return static_cast<double>(bytes) / (1 << 20); }

// The header, directory and data written straight to disk (a million
// entries' worth of Put calls would need the whole archive in memory).
void MakeArchive(FileSystem& system, const std::string& path, uint32_t entries, uint32_t targetSectors) {
    const uint64_t directorySectors = (8 + 32 * uint64_t{entries} + kSectorSize - 1) / kSectorSize;
    std::vector<uint32_t> sectors(entries);
    uint64_t total = 0, large = 0;
    for (uint32_t i = 0; i < entries; ++i) {
        total += sectors[i] = SectorsOf(i);
        if (i % kLargeEvery == 0) large += kLargeSectors;
    }
    // Scale the small entries so that the file comes to the target size.
    const double scale =
        static_cast<double>(targetSectors - directorySectors - large) / static_cast<double>(total - large);
    for (uint32_t i = 0; i < entries; ++i)
        if (i % kLargeEvery != 0) sectors[i] = std::max(1u, static_cast<uint32_t>(sectors[i] * scale + 0.5));

    std::vector<uint8_t> directory(directorySectors * kSectorSize, 0);
    const char magic[4] = {'V', 'E', 'R', '2'};
    std::copy(magic, magic + 4, directory.begin());
    auto put32 = [&](size_t at, uint32_t v) {
        for (size_t b = 0; b < 4; ++b) directory[at + b] = static_cast<uint8_t>(v >> (8 * b));
    };
    put32(4, entries);
    uint64_t next = directorySectors;
    for (uint32_t i = 0; i < entries; ++i) {
        const size_t at = 8 + 32 * size_t{i};
        put32(at, static_cast<uint32_t>(next));
        directory[at + 4] = static_cast<uint8_t>(sectors[i]);
        directory[at + 5] = static_cast<uint8_t>(sectors[i] >> 8);
        const std::string name = NameOf(i);
        std::copy(name.begin(), name.end(), directory.begin() + static_cast<std::ptrdiff_t>(at + 8));
        next += sectors[i];
    }
    auto file = system.Open(path, OpenMode::CreateAlways);
    file->WriteAt(0, directory);
    std::vector<uint8_t> block(kBlock);
    uint64_t at = directorySectors * kSectorSize;
    const uint64_t end = next * kSectorSize;
    uint32_t value = 1;
    while (at < end) {
        const size_t part = static_cast<size_t>(std::min<uint64_t>(kBlock, end - at));
        for (size_t b = 0; b < part; b += 64) block[b] = static_cast<uint8_t>(value++);
        file->WriteAt(at, std::span<const uint8_t>(block.data(), part));
        at += part;
    }
    file->Flush();
}

std::string HashOfFile(FileSystem& system, const std::string& path) {
    auto file = system.Open(path, OpenMode::Read);
    const uint64_t size = file->Size();
    std::vector<uint8_t> block(kBlock);
    Sha256 sha;
    for (uint64_t at = 0; at < size;) {
        const size_t part = static_cast<size_t>(std::min<uint64_t>(kBlock, size - at));
        file->ReadAt(at, std::span<uint8_t>(block.data(), part));
        sha.Add(std::span<const uint8_t>(block.data(), part));
        at += part;
    }
    return HexOf(sha.Finish());
}

double CopyWithFlush(FileSystem& system, const std::string& from, const std::string& to) {
    const auto start = Clock::now();
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    system.Open(to, OpenMode::ReadWrite)->Flush();
    const double seconds = Seconds(start);
    fs::remove(to);
    return seconds;
}

// The system's file system, watched: the bytes written to the archives
// and the commit's own files, and the most room those files and the
// archives' growth took at once.
class Watched final : public FileSystem {
public:
    explicit Watched(FileSystem& inner) : inner_(inner) {}
    void Start(const std::vector<std::string>& archives) {
        written_ = 0;
        peak_ = 0;
        flushing_ = 0;
        flushes_ = 0;
        renames_ = 0;
        allWritten_ = 0;
        extra_.clear();
        base_.clear();
        for (const std::string& path : archives) base_[Plain(path)] = inner_.Open(path, OpenMode::Read)->Size();
    }
    [[nodiscard]] uint64_t Written() const { return written_; }
    [[nodiscard]] uint64_t Peak() const { return peak_; }
    // Every file's and folder's flush, as fsync and fdatasync count them.
    [[nodiscard]] uint64_t Flushes() const { return flushes_; }
    [[nodiscard]] uint64_t Renames() const { return renames_; }
    // The bytes written to any file (the archives, the records, backups, ...).
    [[nodiscard]] uint64_t AllWritten() const { return allWritten_; }

    std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
        return std::make_unique<WatchedFile>(*this, path, inner_.Open(path, mode));
    }
    bool Exists(const std::string& path) override { return inner_.Exists(path); }
    void ReplaceAtomically(const std::string& from, const std::string& to) override {
        inner_.ReplaceAtomically(from, to);
        ++renames_;
        ++flushes_;  // its folder
        extra_.erase(Plain(from));
    }
    void Replace(const std::string& from, const std::string& to) override {
        inner_.Replace(from, to);
        ++renames_;
        extra_.erase(Plain(from));
    }
    void FlushAndReplaceEach(const std::vector<Move>& moves) override {
        const auto start = Clock::now();
        inner_.FlushAndReplaceEach(moves);
        flushing_ += Seconds(start);
        std::set<std::string> folders;
        for (const Move& move : moves) folders.insert(Plain(move.to).substr(0, Plain(move.to).find_last_of('/')));
        flushes_ += moves.size() + folders.size();
        renames_ += moves.size();
    }
    [[nodiscard]] double Flushing() const { return flushing_; }
    void AddFlushing(double seconds) { flushing_ += seconds; }
    void Remove(const std::string& path) override {
        inner_.Remove(path);
        extra_.erase(Plain(path));
    }
    void CreateDirectories(const std::string& path) override { inner_.CreateDirectories(path); }
    void RemoveEmptyFolder(const std::string& path) override { inner_.RemoveEmptyFolder(path); }
    void FlushFolder(const std::string& folder) override {
        inner_.FlushFolder(folder);
        ++flushes_;
    }
    uint64_t FreeSpace(const std::string& path) override { return inner_.FreeSpace(path); }

private:
    class WatchedFile final : public File {
    public:
        WatchedFile(Watched& fs, std::string path, std::unique_ptr<File> inner)
            : fs_(fs), path_(std::move(path)), inner_(std::move(inner)) {}
        uint64_t Size() override { return inner_->Size(); }
        void ReadAt(uint64_t offset, std::span<uint8_t> bytes) override { inner_->ReadAt(offset, bytes); }
        void WriteAt(uint64_t offset, std::span<const uint8_t> bytes) override {
            inner_->WriteAt(offset, bytes);
            fs_.Wrote(path_, bytes.size(), inner_->Size());
        }
        void Resize(uint64_t size) override {
            inner_->Resize(size);
            fs_.Wrote(path_, 0, size);
        }
        void Flush() override {
            const auto start = Clock::now();
            inner_->Flush();
            fs_.AddFlushing(Seconds(start));
            ++fs_.flushes_;
        }
        void CopyFrom(File& source, uint64_t sourceOffset, uint64_t offset, uint64_t size) override {
            File::CopyFrom(source, sourceOffset, offset, size);
        }

    private:
        Watched& fs_;
        std::string path_;
        std::unique_ptr<File> inner_;
    };

    // The tool's scripts write backslashes; the native build reads them as slashes.
    static std::string Plain(std::string path) {
        std::replace(path.begin(), path.end(), '\\', '/');
        return path;
    }
    void Wrote(const std::string& written, uint64_t bytes, uint64_t size) {
        allWritten_ += bytes;
        const std::string path = Plain(written);
        const bool archive = base_.count(path) != 0;
        const bool own = path.ends_with(".journal") || path.ends_with(".rewrite");
        if (!archive && !own) return;
        written_ += bytes;
        extra_[path] = archive ? (size > base_[path] ? size - base_[path] : 0) : size;
        uint64_t room = 0;
        for (const auto& [file, taken] : extra_) room += taken;
        peak_ = std::max(peak_, room);
    }

    FileSystem& inner_;
    uint64_t written_ = 0;
    uint64_t peak_ = 0;
    double flushing_ = 0;
    uint64_t flushes_ = 0;
    uint64_t renames_ = 0;
    uint64_t allWritten_ = 0;
    std::map<std::string, uint64_t> base_;
    std::map<std::string, uint64_t> extra_;
};

class Quiet final : public veltrin::tool::Report {
public:
    void Line(std::string_view text) override { lines.emplace_back(text); }
    void Progress(std::string_view, uint64_t, uint64_t) override {}
    std::vector<std::string> lines;
};

// A mod as the installer hands it to the tool: its files in the payload
// folders of its application folder, and the script that installs them.
struct Mod {
    fs::path app;
    std::map<std::string, std::vector<uint8_t>> gta3, player;  // name -> bytes
};

std::string ScriptOf(const Mod& mod, const fs::path& game) {
    std::vector<std::string> gta3, player;
    for (const auto& [name, bytes] : mod.gta3) gta3.push_back(name);
    for (const auto& [name, bytes] : mod.player) player.push_back(name);
    std::string script;
    using veltrin::install::Block;
    for (const std::string& line :
         veltrin::install::testing::BlockLinesOf(Block::Gta3, game.string(), mod.app.string(), gta3))
        script += line + "\r\n";
    for (const std::string& line :
         veltrin::install::testing::BlockLinesOf(Block::Player, game.string(), mod.app.string(), player))
        script += line + "\r\n";
    return script;
}

void WriteMod(FileSystem& system, const Mod& mod) {
    fs::remove_all(mod.app);
    for (const auto* folder : {"gta3.img", "player.img"}) fs::create_directories(mod.app / folder);
    for (const auto& [name, bytes] : mod.gta3)
        system.Open((mod.app / "gta3.img" / name).string(), OpenMode::CreateAlways)->WriteAt(0, bytes);
    for (const auto& [name, bytes] : mod.player)
        system.Open((mod.app / "player.img" / name).string(), OpenMode::CreateAlways)->WriteAt(0, bytes);
}

struct RunFigures {
    double seconds = 0;
    uint64_t written = 0;
    uint64_t room = 0;
    double flushing = 0;  // of the seconds, waiting for the disk to make files durable
    uint64_t flushes = 0;
    uint64_t renames = 0;
    uint64_t allWritten = 0;  // to any file
};

// Runs the mod's install (or its undo) through the tool's own runs.
RunFigures Run(Watched& watched, const fs::path& game, const Mod& mod, bool undo) {
    const std::string script = ScriptOf(mod, game);
    const std::string scriptPath = (mod.app / "Install.dat").string();
    if (!undo)
        watched.Open(scriptPath, OpenMode::CreateAlways)
            ->WriteAt(0, std::span(reinterpret_cast<const uint8_t*>(script.data()), script.size()));
    watched.Start({(game / "models" / "gta3.img").string(), (game / "models" / "player.img").string()});
    SettleDisk();
    Quiet report;
    const auto start = Clock::now();
    const auto status = undo ? veltrin::tool::RestoreFromScript(scriptPath, script, watched, report)
                             : veltrin::tool::RunScript(scriptPath, script, watched, report);
    RunFigures figures{Seconds(start),    watched.Written(), watched.Peak(),      watched.Flushing(),
                       watched.Flushes(), watched.Renames(), watched.AllWritten()};
    if (status != veltrin::tool::ExitStatus::Ok) {
        std::string all;
        for (const auto& line : report.lines) all += "\n  " + line;
        throw ArchiveError(ErrorKind::Io, scriptPath,
                           std::string(undo ? "the undo" : "the install") + " failed:" + all);
    }
    return figures;
}

// What the game's record of installs keeps beside the archives of the
// models folder: the records (<archive>.installs and one waiting beside
// it) and the originals stores (<archive>.originals).
struct RecordBytes {
    uint64_t records = 0;
    uint64_t originals = 0;
    uint64_t originalFiles = 0;
};

RecordBytes GameRecordBytes(const fs::path& models) {
    RecordBytes bytes;
    for (const auto& item : fs::directory_iterator(models)) {
        const std::string name = item.path().filename().string();
        if (item.is_regular_file() && name.find(".installs") != std::string::npos) {
            bytes.records += item.file_size();
        } else if (item.is_directory() && name.ends_with(".originals")) {
            for (const auto& original : fs::directory_iterator(item.path())) {
                if (!original.is_regular_file()) continue;
                bytes.originals += original.file_size();
                ++bytes.originalFiles;
            }
        }
    }
    return bytes;
}

uint64_t BytesOf(const Mod& mod) {
    uint64_t bytes = 0;
    for (const auto* files : {&mod.gta3, &mod.player})
        for (const auto& [name, data] : *files) bytes += data.size();
    return bytes;
}

void Print(const char* what, const RunFigures& figures, double copy, const Mod& mod) {
    std::printf(
        "  %-34s %7.3f s  %6.2f%% of copy  (%.3f s waiting for flushes)  %7.2f MB written  %7.2f MB free space "
        "needed\n",
        what, figures.seconds, 100.0 * figures.seconds / copy, figures.flushing, Megabytes(figures.written),
        Megabytes(figures.room));
    std::printf("  %-34s %llu flushes, %llu renames, %.2f MB written to all files (%.1fx the mod's %.2f MB)\n", "",
                static_cast<unsigned long long>(figures.flushes), static_cast<unsigned long long>(figures.renames),
                Megabytes(figures.allWritten),
                static_cast<double>(figures.allWritten) / static_cast<double>(std::max<uint64_t>(1, BytesOf(mod))),
                Megabytes(BytesOf(mod)));
}

std::vector<uint8_t> Bytes(size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(state >> 16);
    }
    return bytes;
}

std::vector<uint8_t> ReadAll(const fs::path& path) {
    std::vector<uint8_t> bytes(static_cast<size_t>(fs::file_size(path)));
    if (!bytes.empty()) SystemFileSystem().Open(path.string(), OpenMode::Read)->ReadAt(0, bytes);
    return bytes;
}

// The release payload, as the build packs it.
Mod ReleaseMod(const fs::path& app) {
    Mod mod{app, {}, {}};
    const fs::path payload = VELTRIN_DEMO_MOD;
    for (const auto& item : fs::directory_iterator(payload / "gta3.img"))
        mod.gta3[item.path().filename().string()] = ReadAll(item.path());
    for (const auto& item : fs::directory_iterator(payload / "player.img"))
        mod.player[item.path().filename().string()] = ReadAll(item.path());
    return mod;
}

// 200 random installs and undos on a smaller archive; each undo is of the
// newest install still in place, and must give back the archive it found.
// The most heap a run of the tool took, and what it works on: the game's
// record of the archive and the archive's header and directory.
struct HeapUse {
    size_t peak = 0, record = 0, directory = 0;
    // Against twice the record plus the directory.
    [[nodiscard]] double Share() const {
        return static_cast<double>(peak) / static_cast<double>(std::max<size_t>(1, 2 * record + directory));
    }
};

template <typename Run>
HeapUse HeapOfRun(FileSystem& system, const std::string& archive, const Run& run) {
    const fs::path record = archive + ".installs";
    HeapUse use;
    use.record = fs::exists(record) ? static_cast<size_t>(fs::file_size(record)) : 0;
    use.directory = Archive::Open(archive, system).CurrentDirectory().size();
    const size_t before = veltrin::bench::StartHeapMeasure();
    run();
    use.peak = veltrin::bench::HeapPeak() - before;
    return use;
}

int Series(FileSystem& system, Watched& watched, const fs::path& folder) {
    const fs::path game = folder / "series";
    fs::create_directories(game / "models");
    const std::string gta3 = (game / "models" / "gta3.img").string();
    MakeArchive(system, gta3, 2000, 1u << 16);  // 128 MiB
    Archive::Create((game / "models" / "player.img").string(), system);
    std::mt19937 engine(20261208);
    const auto random = [&engine] { return static_cast<uint32_t>(engine()); };
    struct Installed {
        Mod mod;
        std::string before;  // the archive's hash before the install
    };
    std::vector<Installed> stack;
    int installs = 0, undos = 0, problems = 0;
    // The game's record of gta3.img: its size with one install held, and the
    // most it grew for each further install held.
    uint64_t withOne = 0, largest = 0;
    size_t largestHeld = 0;
    double perInstall = 0;
    // The run that took the most heap against twice the record plus the
    // directory.
    HeapUse memory;
    const auto measured = [&](const auto& run) {
        const HeapUse use = HeapOfRun(system, gta3, run);
        if (use.Share() > memory.Share()) memory = use;
    };
    const auto start = Clock::now();
    for (int step = 0; step < 200; ++step) {
        const bool install = stack.empty() || (stack.size() < 12 && random() % 3 != 0);
        if (install) {
            Mod mod{folder / ("mod-" + std::to_string(step)), {}, {}};
            const std::vector<Entry> entries = Archive::Open(gta3, system).Entries();
            const int files = 1 + static_cast<int>(random() % 10);
            for (int f = 0; f < files; ++f) {
                const uint32_t kind = random() % 3;
                if (kind == 2) {  // a new name
                    mod.gta3["new" + std::to_string(step) + "_" + std::to_string(f) + ".dff"] =
                        Bytes(1 + random() % 300000, random());
                    continue;
                }
                const Entry& entry = entries[random() % entries.size()];
                const uint64_t now = uint64_t{entry.sectors} * kSectorSize;
                const uint64_t size =
                    kind == 0 ? now + 1 + random() % 200000 : 1 + random() % std::max<uint64_t>(1, now);
                mod.gta3[entry.name] = Bytes(static_cast<size_t>(size), random());
            }
            Installed item{mod, HashOfFile(system, gta3)};
            WriteMod(system, mod);
            measured([&] { Run(watched, game, mod, false); });
            stack.push_back(std::move(item));
            ++installs;
        } else {
            measured([&] { Run(watched, game, stack.back().mod, true); });
            if (HashOfFile(system, gta3) != stack.back().before) {
                ++problems;
                std::printf("  step %d: the undo did not give back the archive byte for byte\n", step);
            }
            stack.pop_back();
            ++undos;
        }
        const fs::path record = game / "models" / "gta3.img.installs";
        const uint64_t recordSize = fs::exists(record) ? fs::file_size(record) : 0;
        if (stack.size() == 1 && (withOne == 0 || recordSize < withOne)) withOne = recordSize;
        if (recordSize > largest) {
            largest = recordSize;
            largestHeld = stack.size();
        }
        if (stack.size() > 1 && withOne > 0 && recordSize > withOne)
            perInstall =
                std::max(perInstall, static_cast<double>(recordSize - withOne) / static_cast<double>(stack.size() - 1));
        // The layout and every entry: the newest install's files where it
        // put them, under them the older ones', else the original.
        const std::vector<std::string> found = Verify(gta3, system);
        for (const std::string& problem : found) std::printf("  step %d: %s\n", step, problem.c_str());
        problems += static_cast<int>(found.size());
        const Archive archive = Archive::Open(gta3, system);
        for (auto item = stack.rbegin(); item != stack.rend(); ++item)
            for (const auto& [name, bytes] : item->mod.gta3) {
                bool newer = false;
                for (auto later = stack.rbegin(); later != item; ++later) newer = newer || later->mod.gta3.count(name);
                if (newer) continue;
                const Entry* entry = archive.Find(name);
                std::vector<uint8_t> stored = entry ? archive.Read(*entry) : std::vector<uint8_t>{};
                const bool holds = stored.size() >= bytes.size() &&
                                   std::equal(bytes.begin(), bytes.end(), stored.begin()) &&
                                   std::all_of(stored.begin() + static_cast<std::ptrdiff_t>(bytes.size()), stored.end(),
                                               [](uint8_t b) { return b == 0; });
                if (!holds) {
                    ++problems;
                    std::printf("  step %d: %s does not hold its mod's file\n", step, name.c_str());
                }
            }
    }
    const Archive archive = Archive::Open(gta3, system);
    const FreeSpace free = archive.Free();
    std::printf(
        "series: %d installs and %d undos in %.1f s on a %.0f MiB archive; %zu installs in place at the end, "
        "%llu free entries, %.2f MB free space; %d problems\n",
        installs, undos, Seconds(start), Megabytes(fs::file_size(gta3)), stack.size(),
        static_cast<unsigned long long>(free.entries), Megabytes(free.sectors * kSectorSize), problems);
    std::printf(
        "series: the game's record of gta3.img: %.1f KB with 1 install held, at most %.1f KB (with %zu held); "
        "%.1f KB more for each further install at most\n",
        static_cast<double>(withOne) / 1024, static_cast<double>(largest) / 1024, largestHeld, perInstall / 1024);
    std::printf(
        "series: the most heap a run took against twice the record plus the directory: %.2f MB, beside a "
        "record of %.1f KB and a directory of %.1f KB: %.1fx that bound (target at most 1x): %s\n",
        Megabytes(memory.peak), static_cast<double>(memory.record) / 1024, static_cast<double>(memory.directory) / 1024,
        memory.Share(), memory.Share() <= 1 ? "met" : "MISSED");
    return problems == 0 ? 0 : 1;
}

// One and the same small install and its undo, run again as the game's
// record of a 16,000-entry gta3.img grows by 60 installs held: the heap a
// run takes beyond what it takes with no record at all, against twice the
// record plus the archive's directory.
int MemoryBesideRecord(FileSystem& system, Watched& watched, const fs::path& folder) {
    const fs::path game = folder / "memory";
    fs::create_directories(game / "models");
    const std::string gta3 = (game / "models" / "gta3.img").string();
    MakeArchive(system, gta3, 16000, 1u << 16);  // 128 MiB
    Archive::Create((game / "models" / "player.img").string(), system);
    const std::vector<Entry> entries = Archive::Open(gta3, system).Entries();
    std::mt19937 engine(20261211);
    const auto random = [&engine] { return static_cast<uint32_t>(engine()); };
    Mod probe{folder / "memory-probe", {}, {}};
    probe.gta3[entries[100].name] = Bytes(3000, 1);
    probe.gta3["probe.dff"] = Bytes(5000, 2);
    WriteMod(system, probe);
    HeapUse noneInstall{}, noneUndo{};  // with no record
    bool met = true;
    int status = 0;
    for (int held = 0; held <= 60; ++held) {
        if (held % 15 == 0) {
            const std::string before = HashOfFile(system, gta3);
            const HeapUse install = HeapOfRun(system, gta3, [&] { Run(watched, game, probe, false); });
            const HeapUse undo = HeapOfRun(system, gta3, [&] { Run(watched, game, probe, true); });
            if (HashOfFile(system, gta3) != before) status = 1;
            if (held == 0) {
                noneInstall = install;
                noneUndo = undo;
            }
            const auto beyond = [&](const HeapUse& use, const HeapUse& none) {
                const double share = static_cast<double>(use.peak > none.peak ? use.peak - none.peak : 0) /
                                     static_cast<double>(std::max<size_t>(1, 2 * use.record + use.directory));
                met = met && (held == 0 || share <= 1);
                return share;
            };
            std::printf(
                "memory with %2d installs held (a record of %7.1f KB): the same install %.2f MB of heap, its undo "
                "%.2f MB; beyond the runs with no record: %.2fx and %.2fx twice the record plus the directory\n",
                held, static_cast<double>(install.record) / 1024, Megabytes(install.peak), Megabytes(undo.peak),
                beyond(install, noneInstall), beyond(undo, noneUndo));
        }
        if (held == 60) break;
        Mod mod{folder / ("memory-" + std::to_string(held)), {}, {}};
        for (int f = 0; f < 3; ++f)
            mod.gta3[entries[200 + random() % 15000].name] = Bytes(1 + random() % 4000, random());
        mod.gta3["grown" + std::to_string(held) + ".dff"] = Bytes(2000, random());
        WriteMod(system, mod);
        Run(watched, game, mod, false);
    }
    std::printf(
        "target: beyond its working set with no record, a run takes at most twice the record plus the directory: "
        "%s\n",
        met ? "met" : "MISSED");
    if (!Verify(gta3, system).empty()) status = 1;
    fs::remove_all(game);
    return status;
}

// A mod of many small files (new names) into a small archive: installed,
// installed again from the same folder, undone.
int ManyFiles(FileSystem& system, Watched& watched, const fs::path& folder) {
    const fs::path game = folder / "many";
    int status = 0;
    for (const uint32_t files : {2000u, 4000u, 8000u}) {
        fs::remove_all(game);
        fs::create_directories(game / "models");
        MakeArchive(system, (game / "models" / "gta3.img").string(), 400, 8192);
        Archive::Create((game / "models" / "player.img").string(), system);
        Mod mod{folder / ("many-" + std::to_string(files)), {}, {}};
        for (uint32_t i = 0; i < files; ++i) mod.gta3["many" + std::to_string(i) + ".dff"] = Bytes(100 + i % 900, i);
        WriteMod(system, mod);
        const RunFigures install = Run(watched, game, mod, false);
        RunFigures again;
        const HeapUse heap =
            HeapOfRun(system, (game / "models" / "gta3.img").string(), [&] { again = Run(watched, game, mod, false); });
        Quiet shown;
        const auto statusStart = Clock::now();
        const auto shownStatus =
            veltrin::tool::ShowGameStatus(game.string(), veltrin::tool::ArchivesToShow({}), system, shown);
        const double statusSeconds = Seconds(statusStart);
        if (shownStatus != veltrin::tool::ExitStatus::Ok) status = 1;
        const RunFigures undo = Run(watched, game, mod, true);
        const std::vector<std::string> problems = Verify((game / "models" / "gta3.img").string(), system);
        if (!problems.empty()) status = 1;
        std::printf(
            "mod of %5u files: install %6.2f s, installed again %6.2f s (%.2f ms a file), status %5.2f s, undo "
            "%6.2f s; archive %s\n",
            files, install.seconds, again.seconds, 1000.0 * again.seconds / files, statusSeconds, undo.seconds,
            problems.empty() ? "sound" : problems[0].c_str());
        std::printf(
            "  installed again: %.2f MB of heap beside a record of %.1f KB and a directory of %.1f KB (%.1fx "
            "twice the record plus the directory)\n",
            Megabytes(heap.peak), static_cast<double>(heap.record) / 1024, static_cast<double>(heap.directory) / 1024,
            heap.Share());
    }
    fs::remove_all(game);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    // --no-series: the timed runs only; --series: the series only;
    // --memory: the heap beside a growing record only; --many-files: the
    // mods of many files only.
    const std::string_view option = argc > 1 ? std::string_view(argv[1]) : std::string_view();
    const bool series = option != "--no-series";
    FileSystem& system = SystemFileSystem();
    Watched watched(system);
    const fs::path folder = fs::temp_directory_path() / "veltrin-archive-bench";
    fs::remove_all(folder);
    if (option == "--many-files" || option == "--series" || option == "--memory") {
        int many = 1;
        try {
            many = option == "--series"   ? Series(system, watched, folder)
                   : option == "--memory" ? MemoryBesideRecord(system, watched, folder)
                                          : ManyFiles(system, watched, folder);
        } catch (const ArchiveError& error) {
            std::printf("benchmark failed: %s: %s\n", error.path().c_str(), error.reason().c_str());
        }
        fs::remove_all(folder);
        return many;
    }
    const fs::path game = folder / "game";
    fs::create_directories(game / "models");
    const std::string archivePath = (game / "models" / "gta3.img").string();
    const std::string playerPath = (game / "models" / "player.img").string();
    const std::string copyPath = (folder / "gta3-copy.img").string();
    int status = 0;
    try {
        const auto makeStart = Clock::now();
        MakeArchive(system, archivePath, kEntries, 1u << 19);   // 1 GiB in sectors
        MakeArchive(system, playerPath, kPlayerEntries, 8192);  // 16 MiB
        std::printf("made a %.0f MiB archive of %u entries in %.1f s\n", Megabytes(fs::file_size(archivePath)),
                    kEntries, Seconds(makeStart));

        // Larger replacements (every entry of the 1 GiB archive is smaller
        // than 250 KB but the large ones) and three new names.
        auto larger = [&](int round) {
            Mod mod{folder / ("app-larger-" + std::to_string(round)), {}, {}};
            for (uint32_t i = 0; i < 17; ++i)
                mod.gta3[NameOf(1 + i * 941 + 2 * static_cast<uint32_t>(round))] =
                    Bytes(kFileBytes, i + 100u * static_cast<uint32_t>(round));
            for (uint32_t i = 0; i < 3; ++i)
                mod.gta3["added" + std::to_string(round) + std::to_string(i) + ".dff"] = Bytes(kFileBytes, 50 + i);
            return mod;
        };
        // The large entries take the files in their own sectors.
        auto fitting = [&](int round) {
            Mod mod{folder / ("app-fitting-" + std::to_string(round)), {}, {}};
            for (uint32_t i = 0; i < 20; ++i)
                mod.gta3[NameOf(i * kLargeEvery)] = Bytes(kFileBytes, 7 * i + static_cast<uint32_t>(round));
            return mod;
        };

        // 20 files over both archives: replacements that grow (of the
        // smallest entries), replacements that fit (of entries a little
        // larger than the file) and additions.
        auto twoArchives = [&](int round) {
            Mod mod{folder / ("app-two-" + std::to_string(round)), {}, {}};
            const auto seed = [&](uint32_t i) { return 1000u + i + 100u * static_cast<uint32_t>(round); };
            // The entries whose sectors come from one of SectorsOf's small
            // sizes, before MakeArchive scales them to the archive's size.
            const auto ofSize = [](uint32_t base, uint32_t entries, size_t count) {
                std::vector<uint32_t> found;
                for (uint32_t i = 1; i < entries && found.size() < count; ++i)
                    if (i % kLargeEvery != 0 && SectorsOf(i) == base) found.push_back(i);
                return found;
            };
            uint32_t n = 0;
            for (const uint32_t i : ofSize(17, kEntries, 7)) mod.gta3[NameOf(i)] = Bytes(kSmallFileBytes, seed(n++));
            for (const uint32_t i : ofSize(25, kEntries, 5)) mod.gta3[NameOf(i)] = Bytes(kSmallFileBytes, seed(n++));
            for (uint32_t i = 0; i < 3; ++i)
                mod.gta3["two" + std::to_string(i) + ".dff"] = Bytes(kSmallFileBytes, seed(n++));
            for (const uint32_t i : ofSize(17, kPlayerEntries, 2))
                mod.player[NameOf(i)] = Bytes(kSmallFileBytes, seed(n++));
            for (const uint32_t i : ofSize(40, kPlayerEntries, 2))
                mod.player[NameOf(i)] = Bytes(kSmallFileBytes, seed(n++));
            mod.player["twoplayer.txd"] = Bytes(kSmallFileBytes, seed(n++));
            return mod;
        };

        double bestCopy = 1e9;
        RunFigures install{1e9}, undo{1e9}, release{1e9}, releaseUndo{1e9}, inPlace{1e9}, inPlaceUndo{1e9}, two{1e9},
            twoUndo{1e9};
        bool identical = true;
        const auto keepBest = [](RunFigures& best, const RunFigures& now) {
            if (now.seconds < best.seconds) best = now;
        };
        RecordBytes added;  // by the 5 MB mod's install
        const auto installAndUndo = [&](const Mod& mod, RunFigures& in, RunFigures& out, RecordBytes* adds) {
            const std::string before = HashOfFile(system, archivePath) + HashOfFile(system, playerPath);
            WriteMod(system, mod);
            keepBest(in, Run(watched, game, mod, false));
            // Every earlier install was undone: all that lies beside the
            // archives now is this install's.
            if (adds) *adds = GameRecordBytes(game / "models");
            keepBest(out, Run(watched, game, mod, true));
            if (HashOfFile(system, archivePath) + HashOfFile(system, playerPath) != before) identical = false;
        };
        for (int round = 0; round < kRounds; ++round) {
            SettleDisk();
            bestCopy = std::min(bestCopy, CopyWithFlush(system, archivePath, copyPath));
            installAndUndo(larger(round), install, undo, &added);
            installAndUndo(ReleaseMod(folder / ("app-release-" + std::to_string(round))), release, releaseUndo,
                           nullptr);
            installAndUndo(fitting(round), inPlace, inPlaceUndo, nullptr);
            installAndUndo(twoArchives(round), two, twoUndo, nullptr);
        }
        std::printf("copy of the archive with flush: %.3f s (best of %d rounds; each run below too)\n", bestCopy,
                    kRounds);
        Print("install, 20 larger files (5 MB):", install, bestCopy, larger(0));
        std::printf(
            "    the game's record it adds beside the archives: %.2f MB (records %llu bytes, originals "
            "%.2f MB in %llu files)\n",
            Megabytes(added.records + added.originals), static_cast<unsigned long long>(added.records),
            Megabytes(added.originals), static_cast<unsigned long long>(added.originalFiles));
        Print("its undo:", undo, bestCopy, larger(0));
        const Mod payload = ReleaseMod(folder / "app-release-0");
        Print("install of the release payload:", release, bestCopy, payload);
        Print("its undo:", releaseUndo, bestCopy, payload);
        Print("install, 20 files that fit:", inPlace, bestCopy, fitting(0));
        Print("its undo:", inPlaceUndo, bestCopy, fitting(0));
        const Mod both = twoArchives(0);
        Print("install, 20 files in both archives:", two, bestCopy, both);
        Print("its undo:", twoUndo, bestCopy, both);
#ifdef _WIN32
        constexpr double kShareOfCopy = 0.025;
#else
        constexpr double kShareOfCopy = 0.02;
#endif
        std::printf(
            "targets: the 5 MB install and its undo each at most %.1f%% of the copy: %s; "
            "every undo gave back the archives byte for byte: %s\n",
            100 * kShareOfCopy,
            install.seconds <= kShareOfCopy * bestCopy && undo.seconds <= kShareOfCopy * bestCopy ? "met" : "MISSED",
            identical ? "yes" : "NO");
        const bool twoMet =
            two.flushes <= 16 && two.renames <= 12 && two.allWritten <= 3 * BytesOf(both) && twoUndo.flushes <= 10;
        std::printf(
            "targets: the install in both archives at most 16 flushes, 12 renames and 3x the mod's bytes "
            "written, its undo at most 10 flushes: %s\n",
            twoMet ? "met" : "MISSED");
        if (!identical) status = 1;
        const std::vector<std::string> problems = Verify(archivePath, system);
        std::printf("archive afterwards: %s\n", problems.empty() ? "sound" : problems[0].c_str());
        if (!problems.empty()) status = 1;
        fs::remove_all(game);
        if (series && Series(system, watched, folder) != 0) status = 1;
        if (series && MemoryBesideRecord(system, watched, folder) != 0) status = 1;
        if (series && ManyFiles(system, watched, folder) != 0) status = 1;
    } catch (const ArchiveError& error) {
        std::printf("benchmark failed: %s: %s\n", error.path().c_str(), error.reason().c_str());
        status = 1;
    }
    fs::remove_all(folder);
    return status;
}
