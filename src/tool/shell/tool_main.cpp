#include "tool/shell/tool_main.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "archive/archive_error.h"
#include "install/folder_listing.h"
#include "install/payload_folders.h"
#include "text/ascii.h"
#include "text/path_text.h"
#include "tool/common/error_text.h"
#include "tool/common/exit_status.h"
#include "tool/common/file_util.h"
#include "tool/common/platform.h"
#include "tool/common/report.h"
#include "tool/common/run_log.h"
#include "tool/common/utc_time.h"
#include "tool/elevation/elevation.h"
#include "tool/modcheck/check_mod.h"
#include "tool/runs/game_record.h"
#include "tool/runs/install_record.h"
#include "tool/runs/restore.h"
#include "tool/runs/run_places.h"
#include "tool/runs/script_runner.h"
#include "tool/shell/commands.h"
#include "tool/shell/game_status.h"

namespace veltrin::tool {
namespace {

constexpr uint64_t kMaxScriptMegabytes = 64;

bool SameOption(std::string_view arg, std::string_view option) { return text::EqualIgnoringAsciiCase(arg, option); }

// The archives in the game's models folder with a record of installs beside
// them; none when the folder cannot be listed (status says what it finds).
std::vector<std::string> ArchivesWithRecords(const std::string& gameFolder) {
    std::vector<std::string> names;
    try {
        for (const install::FolderEntry& entry :
             install::ListFolder(gameFolder + PathSeparator() + std::string(install::kModelsFolder))) {
            const std::string& name = entry.name;
            if (!entry.isFolder && name.size() > kGameRecordSuffix.size() &&
                text::EqualIgnoringAsciiCase(std::string_view(name).substr(name.size() - kGameRecordSuffix.size()),
                                             kGameRecordSuffix))
                names.push_back(name.substr(0, name.size() - kGameRecordSuffix.size()));
        }
    } catch (const std::exception&) {
        // Not a folder of this system (or not there): the two archives only.
    }
    std::sort(names.begin(), names.end());
    return names;
}

// An install or an undo: the run, the places it writes, its log, which lies
// beside the script, and whether it needs the script (an undo that follows
// the install record does not read it).
struct ScriptRunKind {
    ExitStatus (*run)(const std::string& scriptPath, std::string_view scriptText, archive::FileSystem& fs,
                      Report& report);
    std::vector<WritePlace> (*places)(const std::string& scriptPath, std::string_view scriptText,
                                      archive::FileSystem& fs);
    const char* logName;
    // Whether a script that cannot be read stops the run. The undo that
    // follows the install record reads Install.dat only where it is there
    // and reads (for a moved game, and the scratch files a stopped install
    // left beside backups the record does not name yet).
    bool needsScript = true;
};

std::vector<WritePlace> InstallPlaces(const std::string& scriptPath, std::string_view scriptText,
                                      archive::FileSystem&) {
    return PlacesInstallWrites(scriptPath, scriptText);
}

// Lines nobody reads: a script read only where it can be.
class QuietReport final : public Report {
public:
    void Line(std::string_view) override {}
    void Progress(std::string_view, uint64_t, uint64_t) override {}
};

// Before the run writes anything, the places it writes are checked; where
// the system refuses one, rights may start the tool again with args.
struct AccessCheck {
    const std::vector<std::string>& args;
    AdminRights& rights;
};

// The script's text as UTF-8. Nothing, or the status of a script that cannot
// be read, once that is told.
std::optional<ExitStatus> ReadScriptText(const std::string& scriptPath, archive::FileSystem& fs, Report& report,
                                         std::string& text) {
    try {
        const auto bytes = ReadWholeFile(
            fs, scriptPath, kMaxScriptMegabytes << 20,
            "the script is larger than the " + std::to_string(kMaxScriptMegabytes) + " MB a script may have");
        text = AnsiToUtf8(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        return std::nullopt;
    } catch (const archive::ArchiveError& error) {
        // A script is too large for the tool, not for an archive.
        const bool tooLarge = error.kind() == archive::ErrorKind::TooLarge;
        report.Line("error: the script cannot be read: " +
                    (tooLarge ? error.path() + ": " + error.reason() : DescribeError(error)));
        report.Line("nothing was changed");
        report.Line("failed");
        return ExitStatus::ScriptUnreadable;
    } catch (const std::runtime_error& error) {
        report.Line("error: " + scriptPath + ": " + error.what());
        report.Line("nothing was changed");
        report.Line("failed");
        return ExitStatus::ScriptInvalid;
    }
}

ExitStatus RunScriptFile(const std::string& scriptPath, Console& console, archive::FileSystem& fs,
                         const ScriptRunKind& kind, const AccessCheck& access) {
    ConsoleReport report(console);
    const std::string logPath = text::SiblingPath(scriptPath, kind.logName);
    try {
        OpenedLog log = OpenRunLog(fs, logPath, RunHeading(SecondsNow(), access.args));
        report.AttachLog(std::move(log.file), logPath, log.size);
    } catch (const archive::ArchiveError& error) {
        report.Line("(no log: " + logPath + ": " + error.reason() + ")");
    }
    std::string text;
    if (kind.needsScript) {
        if (const auto refused = ReadScriptText(scriptPath, fs, report, text)) return *refused;
    } else if (fs.Exists(scriptPath)) {
        QuietReport quiet;
        if (ReadScriptText(scriptPath, fs, quiet, text)) text.clear();
    }
    if (const auto ended = CheckWriteAccess({access.args.begin() + 1, access.args.end()},
                                            kind.places(scriptPath, text, fs), fs, console, report, access.rights))
        return *ended;
    return kind.run(scriptPath, text, fs, report);
}

ExitStatus Usage(Report& report, const std::string& why) {
    report.Line("error: " + why);
    report.Line("Run Install.plug --help for the commands.");
    return ExitStatus::Usage;
}

// Started without a command, most likely by a double-click: what the tool
// is and what to start instead.
ExitStatus Introduce(Report& report) {
    for (const std::string_view line : IntroductionLines()) report.Line(line);
    return ExitStatus::Usage;
}

ExitStatus Dispatch(const std::vector<std::string>& args, Console& console, archive::FileSystem& fs,
                    AdminRights& rights) {
    ConsoleReport report(console);
    if (args.size() < 2) return Introduce(report);
    const std::string& command = args[1];
    const std::vector<std::string> rest(args.begin() + 2, args.end());

    if (SameOption(command, "--help") || SameOption(command, "-h") || command == "/?") {
        console.Write(HelpText());
        return ExitStatus::Ok;
    }
    if (SameOption(command, "-script")) {
        if (rest.size() != 1) return Usage(report, "-script takes exactly one script path");
        return RunScriptFile(rest[0], console, fs, {RunScript, InstallPlaces, "Install.log"}, {args, rights});
    }
    if (SameOption(command, "-restore")) {
        const bool force = !rest.empty() && SameOption(rest[0], "--force");
        if (rest.size() != (force ? 2u : 1u))
            return Usage(report, "-restore takes one script path, alone or after --force");
        // The undo follows the install record beside the backups when there
        // is one, whatever Install.dat says now, or whether it is there.
        const std::string& script = rest.back();
        const bool recorded = fs.Exists(RecordPathFor(script));
        if (!recorded && !fs.Exists(script)) return NothingInstalled(script, report);
        return RunScriptFile(
            script, console, fs,
            {force ? ForceRestoreFromScript : RestoreFromScript, PlacesUndoWrites, "Restore.log", !recorded},
            {args, rights});
    }
    constexpr size_t kAny = SIZE_MAX;
    const auto needs = [&](size_t least, size_t most, const char* form) -> bool {
        if (rest.size() >= least && rest.size() <= most) return true;
        Usage(report, std::string("usage: Install.plug ") + form);
        return false;
    };
    if (command == "list") {
        if (!needs(1, 1, "list <archive>")) return ExitStatus::Usage;
        return ListEntries(rest[0], fs, report);
    }
    if (command == "extract") {
        if (!needs(2, kAny, "extract <archive> <folder> [names...]")) return ExitStatus::Usage;
        return ExtractEntries(rest[0], rest[1], {rest.begin() + 2, rest.end()}, PathSeparator(), fs, report);
    }
    if (command == "create") {
        if (!needs(1, kAny, "create <archive> [files...]")) return ExitStatus::Usage;
        return CreateArchive(rest[0], {rest.begin() + 1, rest.end()}, fs, report);
    }
    if (command == "add") {
        if (!needs(2, kAny, "add <archive> <files...>")) return ExitStatus::Usage;
        return AddFiles(rest[0], {rest.begin() + 1, rest.end()}, fs, report);
    }
    if (command == "remove") {
        if (!needs(2, kAny, "remove <archive> <names...>")) return ExitStatus::Usage;
        return RemoveEntries(rest[0], {rest.begin() + 1, rest.end()}, fs, report);
    }
    if (command == "verify") {
        if (!needs(1, 1, "verify <archive>")) return ExitStatus::Usage;
        return VerifyArchive(rest[0], fs, report);
    }
    if (command == "rebuild") {
        if (!needs(1, 1, "rebuild <archive>")) return ExitStatus::Usage;
        return RebuildArchive(rest[0], fs, report);
    }
    if (command == "status") {
        if (!needs(1, 1, "status <game folder>")) return ExitStatus::Usage;
        return ShowGameStatus(rest[0], ArchivesToShow(ArchivesWithRecords(rest[0])), fs, report);
    }
    if (command == "check-mod") {
        if (!needs(1, 1, "check-mod <application folder>")) return ExitStatus::Usage;
        return CheckMod(rest[0], fs, report);
    }
    return Usage(report, "unknown command " + command);
}

}  // namespace

std::vector<std::string_view> IntroductionLines() {
    return {
        "Install.plug is the archive tool of the Veltrin MOD for GTA San Andreas: it puts the mod's files into the "
        "game's .img archives and takes them out again.",
        "To install the mod, run Install.exe in this folder; it starts this tool.",
        "To undo the install, double-click Undo.cmd in this folder.",
        "For the modder commands: Install.plug --help",
    };
}

std::string HelpText() {
    return "Install.plug: the archive tool of the Veltrin MOD installer for GTA San Andreas .img archives.\n"
           "\n"
           "  Install.plug -script <Install.dat>            run an install script; the run is also added\n"
           "                                               to Install.log beside the script\n"
           "  Install.plug -restore <Install.dat>           undo the installs made from that script's folder,\n"
           "                                               as their record in Backups says: entries get their\n"
           "                                               backups back, entries they added are removed, each\n"
           "                                               only while it still holds what the install put in;\n"
           "                                               the run is also added to Restore.log\n"
           "  Install.plug -restore --force <Install.dat>   the same, and entries changed since the install\n"
           "                                               are restored or removed too\n"
           "  Install.plug list <archive>                   list the entries\n"
           "  Install.plug extract <archive> <folder> [names...]\n"
           "                                               copy entries (all when none is named) into the folder\n"
           "  Install.plug create <archive> [files...]      make a new archive holding the files\n"
           "  Install.plug add <archive> <files...>         add files, or replace the entries of the same names\n"
           "  Install.plug remove <archive> <names...>      remove entries\n"
           "  Install.plug verify <archive>                 check the archive for damage\n"
           "  Install.plug rebuild <archive>                rewrite the archive with its entries in order and no\n"
           "                                               gaps\n"
           "  Install.plug status <game folder>             what is installed in the game, oldest first: from\n"
           "                                               which folders and when, how many entries in each\n"
           "                                               archive, which entries another program changed\n"
           "                                               since, and what each undo would do now; changes\n"
           "                                               nothing\n"
           "  Install.plug check-mod <application folder>   check the mod files in its gta3.img and player.img\n"
           "                                               folders before shipping: what will be installed,\n"
           "                                               left out, or stop the install; writes nothing\n"
           "  Install.plug --help                           this text\n"
           "\n"
           "Exit status:\n"
           "   0  every command succeeded (-restore: also when it found nothing to undo, or left entries\n"
           "      that changed since the install as they are, as it says)\n"
           "   1  unknown command or wrong arguments\n"
           "   2  the script cannot be read\n"
           "   3  a script line is not one of -open, -export, -import, -close, or is out of place\n"
           "   4  an archive, a file to import or a named entry does not exist; for -restore:\n"
           "      no such script (nothing was installed from that folder); for status: no game in\n"
           "      that folder\n"
           "   5  not a version-2 archive, or its directory is damaged\n"
           "   6  the archive is in use by another program (close the game)\n"
           "   7  access denied (run as administrator or move the game out of Program Files)\n"
           "   8  not enough free space; the archive being saved was not changed\n"
           "   9  a name the archive cannot hold, a file too large for one entry, or a backup\n"
           "      named like the tool's own files (ending in .partial, .added or .record)\n"
           "  10  any other failure to read or write, or an install record or a record of installs that\n"
           "      cannot be trusted\n"
           "  11  verify found problems\n"
           "  12  extract skipped an entry whose name would write outside the folder\n"
           "  13  check-mod found a problem: a file would stop the install, or is not the model or\n"
           "      texture dictionary its name says, or a trial install's leftovers would ship\n"
           "  14  check-mod found no problem, but files the install would leave out\n"
           "  15  another program changed an archive after the tool read it; it was left as it was\n"
           "  16  this folder holds another install's backups: an install into another game, or one made\n"
           "      on another computer whose mod is in this game (undo it with Undo.cmd, or unpack a fresh\n"
           "      copy of the mod); nothing was changed. A folder tried on another computer whose mod is\n"
           "      not in this game is set aside, not refused\n";
}

int RunTool(const std::vector<std::string>& args, Console& console, archive::FileSystem& fs) {
    return RunTool(args, console, fs, SystemAdminRights());
}

int RunTool(const std::vector<std::string>& args, Console& console, archive::FileSystem& fs, AdminRights& rights) {
    ExitStatus status = ExitStatus::Io;
    try {
        status = Dispatch(args, console, fs, rights);
    } catch (const std::exception& error) {
        // Out of memory, say: the archive being worked on was never saved.
        console.Write(std::string("error: ") + error.what() + "\nfailed\n");
    }
    if (console.OwnsWindow()) {
        console.Write("Press Enter to close this window.\n");
        console.WaitForEnter();
    }
    return Code(status);
}

}  // namespace veltrin::tool
