// Times an install into a 1 GiB archive of 16,000 entries: 20 files of about
// 5 MB in all, with backups of the entries they replace, committed (1) by
// writing the archive anew and (2) in place, where every file fits the
// sectors it replaces. Both are set against copying the archive file with a
// flush to disk, timed in the same run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/file_io.h"
#include "settle.h"

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

struct Install {
    std::vector<std::string> replaced;  // names of committed entries to replace
    std::vector<std::string> added;
};

// What the tool does for one archive: back up each replaced entry, stage the
// new files, commit.
CommitStats RunInstall(FileSystem& system, const std::string& path, const std::string& backups, const Install& install,
                       uint32_t seed, double& backupSeconds, double& commitSeconds) {
    Archive archive = Archive::Open(path, system);
    const auto backupStart = Clock::now();
    system.CreateDirectories(backups);
    for (const std::string& name : install.replaced) {
        const Entry* entry = archive.Find(name);
        if (!entry) throw ArchiveError(ErrorKind::NotFound, path, name);
        const std::vector<uint8_t> bytes = archive.Read(*entry);
        auto backup = system.Open(backups + "/" + name, OpenMode::CreateAlways);
        backup->WriteAt(0, bytes);
        backup->Flush();
    }
    backupSeconds = Seconds(backupStart);
    std::vector<uint8_t> data(kFileBytes);
    for (size_t b = 0; b < data.size(); ++b) data[b] = static_cast<uint8_t>(b * 31 + seed);
    for (const std::string& name : install.replaced) archive.Put(name, data);
    for (const std::string& name : install.added) archive.Put(name, data);
    const auto start = Clock::now();
    CommitStats stats = archive.Commit();
    commitSeconds = Seconds(start);
    return stats;
}

}  // namespace

int main() {
    FileSystem& system = SystemFileSystem();
    const fs::path folder = fs::temp_directory_path() / "veltrin-archive-bench";
    fs::remove_all(folder);
    fs::create_directories(folder);
    const std::string archivePath = (folder / "gta3.img").string();
    const std::string copyPath = (folder / "gta3-copy.img").string();
    const std::string backups = (folder / "Backups").string();
    int status = 0;
    try {
        const auto makeStart = Clock::now();
        MakeArchive(system, archivePath, 1u << 19);  // 1 GiB in sectors
        std::printf("made a %.0f MiB archive of %u entries in %.1f s\n",
                    static_cast<double>(fs::file_size(archivePath)) / (1 << 20), kEntries, Seconds(makeStart));

        // Small entries grow (a rewrite); a few names are new. Each round
        // takes other entries, so that the second does not find them grown.
        auto rewriteInstall = [](int round) {
            Install install;
            for (uint32_t i = 0; i < 17; ++i)
                install.replaced.push_back(NameOf(1 + i * 941 + 2 * static_cast<uint32_t>(round)));
            for (int i = 0; i < 3; ++i)
                install.added.push_back("added" + std::to_string(round) + std::to_string(i) + ".dff");
            return install;
        };
        // The large entries take the files in their own sectors (in place).
        Install inPlace;
        for (uint32_t i = 0; i < 20; ++i) inPlace.replaced.push_back(NameOf(i * kLargeEvery));

        double bestCopy = 1e9, bestRewrite = 1e9, bestInPlace = 1e9;
        double rewriteCommit = 0, inPlaceCommit = 0, rewriteBackups = 0, inPlaceBackups = 0;
        for (int round = 0; round < kRounds; ++round) {
            SettleDisk();
            bestCopy = std::min(bestCopy, CopyWithFlush(system, archivePath, copyPath));
            fs::remove_all(backups);
            SettleDisk();
            auto start = Clock::now();
            double commit = 0, backup = 0;
            const CommitStats changed =
                RunInstall(system, archivePath, backups, inPlace, static_cast<uint32_t>(round), backup, commit);
            if (Seconds(start) < bestInPlace) {
                bestInPlace = Seconds(start);
                inPlaceCommit = commit;
                inPlaceBackups = backup;
            }
            if (!changed.inPlace) throw ArchiveError(ErrorKind::Io, archivePath, "the in-place install was rewritten");
            fs::remove_all(backups);
            SettleDisk();
            start = Clock::now();
            const CommitStats rewritten = RunInstall(system, archivePath, backups, rewriteInstall(round),
                                                     static_cast<uint32_t>(round), backup, commit);
            if (Seconds(start) < bestRewrite) {
                bestRewrite = Seconds(start);
                rewriteCommit = commit;
                rewriteBackups = backup;
            }
            if (rewritten.inPlace) throw ArchiveError(ErrorKind::Io, archivePath, "the rewrite went in place");
        }
        const std::vector<std::string> problems = Verify(archivePath, system);
        std::printf("copy of the archive with flush:               %7.3f s\n", bestCopy);
        std::printf("install by rewrite (20 files, backups, commit): %7.3f s  ratio to copy %.2f (target <= 1.30)\n",
                    bestRewrite, bestRewrite / bestCopy);
        std::printf("install in place (20 files, backups, commit):   %7.3f s  %.2f%% of copy (target < 5%%)\n",
                    bestInPlace, 100.0 * bestInPlace / bestCopy);
        std::printf("  rewrite:  backups (flushed) %.3f s, commit %.3f s (%.2f of copy)\n", rewriteBackups,
                    rewriteCommit, rewriteCommit / bestCopy);
        std::printf("  in place: backups (flushed) %.3f s, commit %.3f s (%.2f%% of copy)\n", inPlaceBackups,
                    inPlaceCommit, 100.0 * inPlaceCommit / bestCopy);
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
