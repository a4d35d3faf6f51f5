// Times the tool's script run for an install into a 1 GiB archive of 16,000
// entries: 20 files of about 5 MB in all, with backups of the entries they
// replace, committed (1) by writing the archive anew and (2) in place, where
// every file fits the sectors it replaces. Both are set against copying the
// archive file with a flush to disk, timed in the same run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "archive/archive.h"
#include "archive/file_io.h"
#include "block_lines.h"
#include "install/script.h"
#include "settle.h"
#include "tool/common/report.h"
#include "tool/runs/script_runner.h"

namespace {

namespace fs = std::filesystem;
using namespace veltrin::archive;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kEntries = 16000;
constexpr uint32_t kLargeEvery = 800;  // room for in-place replacements
constexpr uint32_t kLargeSectors = 200;
constexpr size_t kFileBytes = 250 * 1024;  // 20 files: about 5 MB
constexpr size_t kBlock = size_t{4} << 20;
constexpr int kRounds = 3;

uint32_t SectorsOf(uint32_t i) { return i % kLargeEvery == 0 ? kLargeSectors : 17 + (i * 7919u) % 31u; }
std::string NameOf(uint32_t i) { return "entry" + std::to_string(i) + (i % 2 ? ".txd" : ".dff"); }

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The header, directory and data written straight to disk (a million
// entries' worth of Put calls would need the whole archive in memory).
void MakeArchive(FileSystem& system, const std::string& path, uint32_t targetSectors) {
    uint64_t directorySectors = (8 + 32 * uint64_t{kEntries} + kSectorSize - 1) / kSectorSize;
    std::vector<uint32_t> sectors(kEntries);
    uint64_t total = 0;
    for (uint32_t i = 0; i < kEntries; ++i) total += sectors[i] = SectorsOf(i);
    // Scale the small entries so that the file comes to the target size.
    const double scale =
        static_cast<double>(targetSectors - directorySectors - kEntries / kLargeEvery * kLargeSectors) /
        static_cast<double>(total - kEntries / kLargeEvery * kLargeSectors);
    for (uint32_t i = 0; i < kEntries; ++i)
        if (i % kLargeEvery != 0) sectors[i] = std::max(1u, static_cast<uint32_t>(sectors[i] * scale + 0.5));

    std::vector<uint8_t> directory(directorySectors * kSectorSize, 0);
    const char magic[4] = {'V', 'E', 'R', '2'};
    std::copy(magic, magic + 4, directory.begin());
    auto put32 = [&](size_t at, uint32_t v) {
        for (size_t b = 0; b < 4; ++b) directory[at + b] = static_cast<uint8_t>(v >> (8 * b));
    };
    put32(4, kEntries);
    uint64_t next = directorySectors;
    for (uint32_t i = 0; i < kEntries; ++i) {
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

double CopyWithFlush(FileSystem& system, const std::string& from, const std::string& to) {
    const auto start = Clock::now();
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    system.Open(to, OpenMode::ReadWrite)->Flush();
    const double seconds = Seconds(start);
    fs::remove(to);
    return seconds;
}

// Times each stage of one script run from the lines the tool reports: the
// open, the backups, the imports and the commit.
class StageClock final : public veltrin::tool::Report {
public:
    struct Stages {
        double open = 0, backups = 0, imports = 0, commit = 0, total = 0;
        bool inPlace = false;
    };

    explicit StageClock(Clock::time_point start) : start_(start), last_(start) {}
    void Line(std::string_view text) override {
        const auto now = Clock::now();
        const double since = std::chrono::duration<double>(now - last_).count();
        if (text.find(" entries") != std::string_view::npos && text.starts_with("  ")) {
            stages_.open += since;
        } else if (text.starts_with("backed up") || text.starts_with("nothing to back up")) {
            stages_.backups += since;
        } else if (text.starts_with("imported") || text.starts_with("saving")) {
            stages_.imports += since;
        } else if (text.starts_with("saved")) {
            stages_.commit += since;
            stages_.inPlace = text.find("in place") != std::string_view::npos;
        } else {
            return;
        }
        last_ = now;
    }
    void Progress(uint64_t, uint64_t) override {}
    Stages Finish() {
        stages_.total = Seconds(start_);
        return stages_;
    }

private:
    Clock::time_point start_, last_;
    Stages stages_;
};

// What the installer hands the tool for the gta3.img block: the mod's files
// in the payload folder, and the script that backs up and imports them.
struct Install {
    fs::path app;
    std::vector<std::string> names;
};

StageClock::Stages RunInstall(FileSystem& system, const fs::path& game, const Install& install, uint32_t seed) {
    std::vector<uint8_t> data(kFileBytes);
    for (size_t b = 0; b < data.size(); ++b) data[b] = static_cast<uint8_t>(b * 31 + seed);
    fs::remove_all(install.app);
    fs::create_directories(install.app / "gta3.img");
    for (const std::string& name : install.names)
        system.Open((install.app / "gta3.img" / name).string(), OpenMode::CreateAlways)->WriteAt(0, data);
    std::string script;
    for (const std::string& line :
         veltrin::install::testing::BlockLinesOf(veltrin::install::Block::Gta3, game.string(), install.app.string(), install.names))
        script += line + "\r\n";
    const std::string scriptPath = (install.app / "Install.dat").string();
    SettleDisk();

    const auto start = Clock::now();
    StageClock clock(start);
    if (veltrin::tool::RunScript(scriptPath, script, system, clock) != veltrin::tool::ExitStatus::Ok)
        throw ArchiveError(ErrorKind::Io, scriptPath, "the install failed");
    return clock.Finish();
}

void PrintStages(const char* what, const StageClock::Stages& stages, double copy) {
    std::printf("  %s: open %.3f s, backups %.3f s, imports and backups' flush %.3f s, commit %.3f s (%.2f%% of copy)\n",
                what, stages.open, stages.backups, stages.imports, stages.commit, 100.0 * stages.commit / copy);
}

}  // namespace

int main() {
    FileSystem& system = SystemFileSystem();
    const fs::path folder = fs::temp_directory_path() / "veltrin-archive-bench";
    fs::remove_all(folder);
    const fs::path game = folder / "game";
    fs::create_directories(game / "models");
    const std::string archivePath = (game / "models" / "gta3.img").string();
    const std::string copyPath = (folder / "gta3-copy.img").string();
    int status = 0;
    try {
        const auto makeStart = Clock::now();
        MakeArchive(system, archivePath, 1u << 19);  // 1 GiB in sectors
        std::printf("made a %.0f MiB archive of %u entries in %.1f s\n",
                    static_cast<double>(fs::file_size(archivePath)) / (1 << 20), kEntries, Seconds(makeStart));

        // Small entries grow (a rewrite); a few names are new. Each round
        // takes other entries, so that the second does not find them grown.
        auto rewriteInstall = [&](int round) {
            Install install{folder / ("app-rewrite-" + std::to_string(round)), {}};
            for (uint32_t i = 0; i < 17; ++i)
                install.names.push_back(NameOf(1 + i * 941 + 2 * static_cast<uint32_t>(round)));
            for (int i = 0; i < 3; ++i)
                install.names.push_back("added" + std::to_string(round) + std::to_string(i) + ".dff");
            return install;
        };
        // The large entries take the files in their own sectors (in place).
        auto inPlaceInstall = [&](int round) {
            Install install{folder / ("app-in-place-" + std::to_string(round)), {}};
            for (uint32_t i = 0; i < 20; ++i) install.names.push_back(NameOf(i * kLargeEvery));
            return install;
        };

        double bestCopy = 1e9;
        StageClock::Stages bestRewrite{.total = 1e9}, bestInPlace{.total = 1e9};
        for (int round = 0; round < kRounds; ++round) {
            SettleDisk();
            bestCopy = std::min(bestCopy, CopyWithFlush(system, archivePath, copyPath));
            const StageClock::Stages inPlace =
                RunInstall(system, game, inPlaceInstall(round), static_cast<uint32_t>(round));
            if (!inPlace.inPlace) throw ArchiveError(ErrorKind::Io, archivePath, "the in-place install was rewritten");
            if (inPlace.total < bestInPlace.total) bestInPlace = inPlace;
            const StageClock::Stages rewrite =
                RunInstall(system, game, rewriteInstall(round), static_cast<uint32_t>(round));
            if (rewrite.inPlace) throw ArchiveError(ErrorKind::Io, archivePath, "the rewrite went in place");
            if (rewrite.total < bestRewrite.total) bestRewrite = rewrite;
        }
        const std::vector<std::string> problems = Verify(archivePath, system);
        std::printf("copy of the archive with flush:                 %7.3f s\n", bestCopy);
        std::printf("install by rewrite (20 files, backups, commit): %7.3f s  ratio to copy %.2f (target <= 1.30)\n",
                    bestRewrite.total, bestRewrite.total / bestCopy);
        std::printf("install in place (20 files, backups, commit):   %7.3f s  %.2f%% of copy (target < 5%%)\n",
                    bestInPlace.total, 100.0 * bestInPlace.total / bestCopy);
        PrintStages("rewrite ", bestRewrite, bestCopy);
        PrintStages("in place", bestInPlace, bestCopy);
        std::printf("archive afterwards: %s (best of %d rounds each)\n",
                    problems.empty() ? "sound" : problems[0].c_str(), kRounds);
        if (!problems.empty()) status = 1;
    } catch (const ArchiveError& error) {
        std::printf("benchmark failed: %s: %s\n", error.path().c_str(), error.reason().c_str());
        status = 1;
    }
    fs::remove_all(folder);
    return status;
}
