#pragma once
// The log of the installs and undos run from one folder (Install.log,
// Restore.log): each run is appended under its heading, so the run that
// failed is still there after a retry succeeds. Before a run starts, the
// oldest whole runs are dropped until the runs kept take at most
// kKeptRunBytes; with the new run the log stays about 1 MB.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "archive/file_io.h"

namespace veltrin::tool {

inline constexpr uint64_t kKeptRunBytes = uint64_t{768} << 10;

// Every heading starts a line with this.
inline constexpr std::string_view kRunHeadingMark = "==== ";

// "==== 2026-12-09 17:40 UTC, Install.plug 1.0: -script D:\Mod\Install.dat",
// the arguments after the program's name as given, each quoted where it
// holds a space.
std::string RunHeading(uint64_t seconds, const std::vector<std::string>& args);

// The log's earlier text that a new run keeps: all of it up to
// kKeptRunBytes, otherwise the newest whole runs that fit (none when its
// last run alone is larger). Only the last kKeptRunBytes + 2 bytes of the
// log are looked at: they may stand for the whole.
std::string_view KeptRuns(std::string_view log);

struct OpenedLog {
    std::unique_ptr<archive::File> file;
    uint64_t size = 0;  // where the next line goes
};

// Opens the log for a run (creating it when there is none), drops what
// KeptRuns does not keep and appends the heading. Throws ArchiveError.
OpenedLog OpenRunLog(archive::FileSystem& fs, const std::string& path, std::string_view heading);

}  // namespace veltrin::tool
