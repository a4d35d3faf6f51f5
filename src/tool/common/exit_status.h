#pragma once
// The tool's exit statuses. The help text and the README list them; a run
// that stops reports the status of the first failure.
namespace veltrin::tool {

enum class ExitStatus {
    Ok = 0,                // every command succeeded
    Usage = 1,             // unknown command or wrong arguments
    ScriptUnreadable = 2,  // the script file cannot be read
    ScriptInvalid = 3,     // a line of the script is none of the four forms, or is out of place
    NotFound = 4,          // an archive, a file to import or a named entry does not exist
    NotAnArchive = 5,      // not a version-2 archive, or its directory is damaged
    Locked = 6,            // another program (the game) holds the archive open
    AccessDenied = 7,      // the system refused access
    DiskFull = 8,          // not enough free space; the archive was not changed
    Rejected = 9,          // a name the archive cannot hold, or a file too large for one entry
    Io = 10,               // any other failure to read or write
    VerifyProblems = 11,   // verify found problems
    UnsafeName = 12,       // extract met an entry name that would write outside its folder
    ModProblems = 13,      // check-mod: a file would stop the install or is not what its name says
    ModFilesLeftOut = 14,  // check-mod: the install works but leaves files of the payload out
    ArchiveChanged = 15,   // another program changed an archive after the tool read it; it was left as it was
    OtherInstall = 16,     // the application folder holds the record of an install into another game, or made on
                           // another computer; nothing was changed
};

inline int Code(ExitStatus status) { return static_cast<int>(status); }

}  // namespace veltrin::tool
