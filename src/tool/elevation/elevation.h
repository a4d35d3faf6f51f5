#pragma once
// Before a script run or an undo writes anything, the tool checks that this
// account may write the places the run says it writes (its archives and
// folders; see run_places.h). Where it may not, it says so and, on Windows,
// offers to start itself again with administrator rights. Knows nothing of
// scripts. Portable: the system is reached through FileSystem, Console and
// AdminRights, which tests replace.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/file_io.h"
#include "tool/common/console.h"
#include "tool/common/exit_status.h"
#include "tool/common/report.h"
#include "tool/common/write_place.h"
#include "tool/elevation/admin_rights.h"

namespace veltrin::tool {

struct DeniedPlace {
    enum class Kind {
        File,       // an archive this account may not open for writing
        Folder,     // an existing folder it may not create files in
        NewFolder,  // a missing folder it may not create
        ReadOnly,   // a file with the read-only mark, or a folder with it that refuses files
    };
    Kind kind = Kind::File;
    std::string path;
};

// The places that the system refuses to this account, in the order given,
// each once. Nothing is changed. A missing folder counts by its nearest
// existing parent. Only a refusal counts: the check ends at the first file
// that is missing, in use or failing otherwise, where the run itself stops
// and says why. A file with the read-only mark is refused whatever the
// account (ReadOnly, asked before anything else); a folder with the mark
// counts as ReadOnly only where it really refuses files (Windows ignores the
// mark on folders), else as any refusal does. A file the run removes counts
// only where it is there, and never ends the check.
std::vector<DeniedPlace> DeniedPlaces(const std::vector<WritePlace>& places, archive::FileSystem& fs);

// "Windows does not let this account change <path> (it is probably in
// Program Files)." and its kin; "<path> is marked read-only (Properties,
// untick Read-only)." for ReadOnly. withWindows false gives the plain forms.
std::string DeniedText(const DeniedPlace& place, bool withWindows);

inline constexpr std::string_view kElevateQuestion =
    "Continue with administrator rights? Windows will ask for permission. [y/N] ";

// The check of the places a run writes, before the run. When nothing is
// refused, returns nothing and the run goes on in this process.
// Otherwise the report names each refused place, and:
//  - where a place is read-only (administrator rights do not lift the mark),
//    the system has no administrator rights to give, this process has them
//    already, or nobody can answer at the console: access denied;
//  - else the console asks kElevateQuestion. Anything but yes (or the end of
//    input) is access denied. On yes the log is closed (the new run writes
//    it) and the tool runs again elevated with the same arguments (without
//    the program name); its status is returned. A refused prompt or a start
//    that fails is access denied.
// Access denied always leaves everything as it was.
std::optional<ExitStatus> CheckWriteAccess(const std::vector<std::string>& arguments,
                                           const std::vector<WritePlace>& places, archive::FileSystem& fs,
                                           Console& console, ConsoleReport& report, AdminRights& rights);

}  // namespace veltrin::tool
