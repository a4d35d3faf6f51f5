#pragma once
// The modder commands: list, extract, create, add, remove, verify and rebuild. Each
// reports through a Report and returns its exit status; none leaves an
// archive half changed.
#include <string>
#include <vector>

#include "archive/file_io.h"
#include "tool/common/exit_status.h"
#include "tool/common/report.h"

namespace veltrin::tool {

// Every entry: name, stored size in bytes, offset in sectors.
ExitStatus ListEntries(const std::string& archivePath, archive::FileSystem& fs, Report& report);
// The named entries (all when none is named) into the folder, created when
// missing; existing files are replaced whole. A named entry the archive lacks
// stops before anything is written. An entry whose name would land outside
// the folder, or on the file of another entry, is skipped and reported
// (status UnsafeName); the others are extracted.
ExitStatus ExtractEntries(const std::string& archivePath, const std::string& folder,
                          const std::vector<std::string>& names, char separator, archive::FileSystem& fs,
                          Report& report);
// Adds the files, or replaces the entries of the same names; one save.
ExitStatus AddFiles(const std::string& archivePath, const std::vector<std::string>& files, archive::FileSystem& fs,
                    Report& report);
// A new archive holding the files (none: an empty archive). Every file is
// read and its name checked first; an existing archive is never touched.
ExitStatus CreateArchive(const std::string& archivePath, const std::vector<std::string>& files, archive::FileSystem& fs,
                         Report& report);
// Removes the entries; a name the archive lacks stops before the save.
ExitStatus RemoveEntries(const std::string& archivePath, const std::vector<std::string>& names, archive::FileSystem& fs,
                         Report& report);
ExitStatus VerifyArchive(const std::string& archivePath, archive::FileSystem& fs, Report& report);
ExitStatus RebuildArchive(const std::string& archivePath, archive::FileSystem& fs, Report& report);

}  // namespace veltrin::tool
