#include "tool/shell/commands.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <utility>

#include "archive/archive.h"
#include "archive/archive_error.h"
#include "archive/commit.h"
#include "archive/free_entries.h"
#include "archive/game_table.h"
#include "archive/names.h"
#include "archive/recovery.h"
#include "text/counted.h"
#include "text/path_text.h"
#include "tool/common/error_text.h"
#include "tool/common/file_util.h"
#include "tool/common/publish_group.h"
#include "tool/common/safe_name.h"
#include "tool/runs/run_report.h"

namespace veltrin::tool {
namespace {

// Runs the body; an archive error becomes its message and status.
template <typename Body>
ExitStatus Guarded(Report& report, Body body) {
    try {
        return body();
    } catch (const archive::ArchiveError& error) {
        report.Line("error: " + DescribeError(error));
        return StatusOf(error.kind());
    } catch (const std::exception& error) {
        report.Line(std::string("error: ") + error.what());
        return ExitStatus::Io;
    }
}

// A save's failure, told as what became of the archive: before the point of
// no return the archive was left as it was (ifNotSaved says so in this
// command's words); after it, the archive is opened again and holds what
// that says.
template <typename Save>
ExitStatus Saved(const std::string& path, archive::FileSystem& fs, Report& report, std::string_view ifNotSaved,
                 Save save) {
    try {
        save();
        return ExitStatus::Ok;
    } catch (const archive::CommitInterrupted& interrupted) {
        const archive::CommitOutcome outcome = archive::OutcomeOf(interrupted, path, fs);
        report.Line("error: " + path + ": " + InterruptedOutcome(outcome, DescribeError(interrupted), "saved"));
        return StatusOf(interrupted.kind());
    } catch (const archive::ArchiveError& error) {
        report.Line("error: " + DescribeError(error) + "; " + std::string(ifNotSaved));
        return StatusOf(error.kind());
    }
}

ExitStatus SaveChanges(archive::Archive& archive, archive::FileSystem& fs, Report& report,
                       std::string_view ifNotSaved = "nothing was changed") {
    report.Line("saving " + archive.Path());
    return Saved(archive.Path(), fs, report, ifNotSaved, [&] {
        const auto stats = archive.Commit(ProgressOf(report, "saving " + std::string(text::FileNameOf(archive.Path()))));
        report.Line(stats.inPlace ? "saved (changed in place)" : "saved");
    });
}

uint64_t Bytes(uint64_t sectors) { return sectors * archive::kSectorSize; }

// What verify says of the free entries (the sectors no entry uses, kept as
// records the game never loads): how many, and whether each is sound, that
// is no larger than the largest entry, which sizes the game's streaming
// buffer. The full check names each one that is not. Empty when the
// directory cannot be read: the check said why.
std::string FreeEntriesText(const std::string& archivePath, archive::FileSystem& fs) {
    try {
        const auto archive = archive::Archive::Open(archivePath, fs);
        const archive::FreeSpace free = archive.Free();
        if (free.entries == 0) return "no free entries";
        uint32_t largest = 0;
        for (const auto& entry : archive.Entries()) largest = std::max(largest, entry.sectors);
        uint64_t larger = 0;
        for (const auto& record : archive.Records())
            if (archive::IsFreeEntry(record) && record.sectors > largest) ++larger;
        const std::string found = text::Counted(free.entries, "free entry", "free entries") + " (" +
                                  text::Counted(Bytes(free.sectors), "byte", "bytes") + " of free space): ";
        if (larger == 0) return found + "sound, none larger than the largest entry; rebuild removes them";
        return found + std::to_string(larger) + " larger than the largest entry (named above)";
    } catch (const archive::ArchiveError&) {
        return {};
    }
}

}  // namespace

ExitStatus ListEntries(const std::string& archivePath, archive::FileSystem& fs, Report& report) {
    return Guarded(report, [&] {
        const auto archive = archive::Archive::Open(archivePath, fs);
        for (const auto& entry : archive.Entries()) {
            char line[96];
            std::snprintf(line, sizeof line, "%-24s %12llu bytes  at sector %u", entry.name.c_str(),
                          static_cast<unsigned long long>(uint64_t{entry.sectors} * archive::kSectorSize),
                          entry.offset);
            report.Line(line);
        }
        report.Line(text::Counted(archive.Entries().size(), "entry", "entries"));
        const archive::FreeSpace free = archive.Free();
        report.Line("free space: " +
                    (free.entries == 0
                         ? std::string("none")
                         : text::Counted(free.entries, "free entry", "free entries") + ", " +
                               text::Counted(Bytes(free.sectors), "byte", "bytes") + " (rebuild removes them)"));
        return ExitStatus::Ok;
    });
}

ExitStatus ExtractEntries(const std::string& archivePath, const std::string& folder,
                          const std::vector<std::string>& names, char separator, archive::FileSystem& fs,
                          Report& report) {
    return Guarded(report, [&] {
        const auto archive = archive::Archive::Open(archivePath, fs);
        std::vector<const archive::Entry*> chosen;
        if (names.empty()) {
            for (const auto& entry : archive.Entries()) chosen.push_back(&entry);
        } else {
            for (const auto& name : names) {
                const archive::Entry* entry = archive.Find(name);
                if (!entry) {
                    report.Line("error: " + name + " is not in the archive; nothing was extracted");
                    return ExitStatus::NotFound;
                }
                chosen.push_back(entry);
            }
        }
        if (!fs.Exists(folder)) fs.CreateDirectories(folder);
        ExitStatus status = ExitStatus::Ok;
        std::set<std::string> written;
        size_t count = 0;
        // Files are made durable a batch at a time, which spares the disk a
        // flush and a folder update for each of thousands of entries.
        constexpr size_t kBatch = 256;
        PublishGroup extracted(fs);
        auto publish = [&] {
            try {
                extracted.Publish();
            } catch (const std::exception&) {
                report.Line("the files extracted since the last batch was saved were removed");
                throw;
            }
        };
        try {
            for (const auto* entry : chosen) {
                const std::string problem = UnsafeNameProblem(entry->name);
                if (!problem.empty()) {
                    report.Line("skipped an entry named \"" + entry->name + "\": " + problem);
                    status = ExitStatus::UnsafeName;
                    continue;
                }
                if (!written.insert(archive::FoldedName(entry->name)).second) {
                    report.Line("skipped a second entry named " + entry->name +
                                " (names are equal without regard to case)");
                    status = ExitStatus::UnsafeName;
                    continue;
                }
                const std::string target = folder + separator + entry->name;
                extracted.WriteWith(target, [&](archive::File& file) { archive.CopyTo(*entry, file); });
                report.Line("extracted " + entry->name);
                if (++count % kBatch == 0) publish();
            }
            publish();
        } catch (const std::exception&) {
            // The files already reported as extracted stay, where they can.
            try {
                publish();
            } catch (const std::exception&) {
                // Told by publish.
            }
            throw;
        }
        report.Line(text::Counted(count, "entry", "entries") + " extracted to " + folder);
        return status;
    });
}

ExitStatus AddFiles(const std::string& archivePath, const std::vector<std::string>& files, archive::FileSystem& fs,
                    Report& report) {
    return Guarded(report, [&] {
        auto archive = archive::Archive::Open(archivePath, fs);
        for (const auto& file : files) {
            const std::string name(text::FileNameOf(file));
            const std::string problem = archive::NameProblem(name);
            if (!problem.empty()) throw archive::ArchiveError(archive::ErrorKind::BadName, name, problem);
            const bool replaces = archive.PutFile(name, file);
            report.Line((replaces ? "replacing " : "adding ") + name);
        }
        return archive.HasChanges() ? SaveChanges(archive, fs, report) : ExitStatus::Ok;
    });
}

ExitStatus CreateArchive(const std::string& archivePath, const std::vector<std::string>& files, archive::FileSystem& fs,
                         Report& report) {
    return Guarded(report, [&] {
        // Every file is read and its name checked before the archive exists.
        std::vector<std::pair<std::string, std::vector<uint8_t>>> staged;
        std::set<std::string> names;
        for (const auto& file : files) {
            std::string name(text::FileNameOf(file));
            const std::string problem = archive::NameProblem(name);
            if (!problem.empty()) throw archive::ArchiveError(archive::ErrorKind::BadName, name, problem);
            if (!names.insert(archive::FoldedName(name)).second) {
                report.Line("error: " + name + " is named twice; nothing was created");
                return ExitStatus::Rejected;
            }
            staged.emplace_back(std::move(name),
                                ReadWholeFile(fs, file, archive::kMaxEntryBytes,
                                              "larger than one entry can hold (" +
                                                  std::to_string(archive::kMaxEntryBytes) + " bytes)"));
        }
        if (fs.Exists(archivePath)) {
            report.Line("error: " + archivePath + " already exists; nothing was changed");
            return ExitStatus::Io;
        }
        auto archive = archive::Archive::Create(archivePath, fs);
        report.Line("created " + archivePath);
        for (auto& [name, bytes] : staged) {
            report.Line("adding " + name);
            archive.Put(name, std::move(bytes));
        }
        return archive.HasChanges() ? SaveChanges(archive, fs, report, "the new archive was left empty")
                                    : ExitStatus::Ok;
    });
}

ExitStatus RemoveEntries(const std::string& archivePath, const std::vector<std::string>& names, archive::FileSystem& fs,
                         Report& report) {
    return Guarded(report, [&] {
        auto archive = archive::Archive::Open(archivePath, fs);
        for (const auto& name : names) {
            if (!archive.Remove(name)) {
                report.Line("error: " + name + " is not in the archive; nothing was removed");
                return ExitStatus::NotFound;
            }
            report.Line("removing " + name);
        }
        return archive.HasChanges() ? SaveChanges(archive, fs, report) : ExitStatus::Ok;
    });
}

ExitStatus VerifyArchive(const std::string& archivePath, archive::FileSystem& fs, Report& report) {
    return Guarded(report, [&] {
        const auto problems = archive::Verify(archivePath, fs);
        for (const auto& problem : problems) report.Line(problem);
        if (const auto free = FreeEntriesText(archivePath, fs); !free.empty()) report.Line(free);
        if (problems.empty()) {
            report.Line(archivePath + ": no problems found");
            return ExitStatus::Ok;
        }
        report.Line(archivePath + ": " + text::Counted(problems.size(), "problem", "problems") + " found");
        return ExitStatus::VerifyProblems;
    });
}

ExitStatus RebuildArchive(const std::string& archivePath, archive::FileSystem& fs, Report& report) {
    return Guarded(report, [&] {
        report.Line("rebuilding " + archivePath);
        auto archive = archive::Archive::Open(archivePath, fs);
        return Saved(archivePath, fs, report, "nothing was changed", [&] {
            const auto stats = archive.Rebuild(ProgressOf(report, "rebuilding " + std::string(text::FileNameOf(archivePath))));
            report.Line("rebuilt: " + text::Counted(stats.bytesWritten, "byte", "bytes") + " written");
            for (const std::string& past : archive::EntriesPastTheTable(archive.Records(), archivePath))
                report.Line("warning: " + past);
        });
    });
}

}  // namespace veltrin::tool
