#include "tool/runs/run_report.h"

#include "text/path_text.h"
#include "tool/common/error_text.h"
#include "tool/runs/pending_save.h"

namespace veltrin::tool {
namespace {

// The line as it can be shown: control characters as \xNN.
std::string Printable(std::string_view line) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string shown;
    for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            shown += "\\x";
            shown += kHex[byte >> 4];
            shown += kHex[byte & 15];
        } else {
            shown += c;
        }
    }
    return shown;
}

}  // namespace

std::string_view NothingChangedLine(bool changedBefore) {
    return changedBefore ? "nothing else was changed" : "nothing was changed";
}

std::string TallyText(std::initializer_list<TallyCount> counts) {
    std::string text;
    for (const TallyCount& count : counts) {
        if (!text.empty()) text += ", ";
        const bool many = count.count != 1 && !count.many.empty();
        text += std::to_string(count.count) + " " + std::string(many ? count.many : count.one);
    }
    return text;
}

std::string ReportRecovery(Report& report, archive::Recovery recovery) {
    switch (recovery) {
    case archive::Recovery::None:
        break;
    case archive::Recovery::RolledBack:
        report.Line("  an unfinished earlier change was rolled back; the archive holds its older content");
        return "an unfinished earlier change was rolled back";
    case archive::Recovery::Completed:
        report.Line("  an unfinished earlier change was completed");
        return "an unfinished earlier change was completed";
    case archive::Recovery::Stale:
        report.Line(
            "  a journal an earlier change left no longer matched the archive (another program changed it since); "
            "it was dropped and the archive left as it is");
        return "a stale journal of an earlier change was dropped";
    }
    return {};
}

std::string LineRef(const std::string& scriptPath, size_t lineNumber) {
    return scriptPath + ", line " + std::to_string(lineNumber);
}

std::string ErrorAt(const std::string& where, const std::string& why) { return "error: " + why + " (" + where + ")"; }

std::string_view KeepFolderLine(const InstallRecord& record) {
    bool replaced = false;
    for (const RecordedArchive& archive : record.archives)
        for (const RecordedEntry& entry : archive.entries) {
            if (!entry.added && !entry.backup.empty()) return kKeepFolder;
            replaced = replaced || !entry.added;
        }
    return replaced ? kKeepFolderForRecord : kKeepFolderForAdded;
}

ExitStatus RefuseLine(Report& report, const std::string& where, const std::string& why, const std::string& line,
                      ExitStatus status) {
    report.Line(ErrorAt(where, why));
    report.Line("  " + Printable(line));
    report.Line("nothing was changed");
    report.Line("failed");
    return status;
}

ExitStatus RefuseScript(Report& report, const std::string& scriptPath, const ScriptError& error) {
    return RefuseLine(report, LineRef(scriptPath, error.lineNumber()), error.what(), error.line(),
                      ExitStatus::ScriptInvalid);
}

std::optional<ExitStatus> RefuseBackupsOutside(Report& report, const std::string& scriptPath,
                                               const std::vector<ScriptCommand>& commands) {
    const std::string backups(text::FolderOf(RecordPathFor(scriptPath)));
    for (const ScriptCommand& command : commands)
        if (command.kind == CommandKind::Export && !text::LiesBelow(command.path, backups))
            return RefuseLine(report, LineRef(scriptPath, command.lineNumber),
                              "the backup file " + command.path + " does not lie in " + backups +
                                  ", the folder the tool keeps backups in",
                              command.line, ExitStatus::Rejected);
    return std::nullopt;
}

RecordRead ReadRecordOrRefuse(archive::FileSystem& fs, const std::string& recordPath, Report& report,
                              const std::function<bool(const std::string& why, bool& changed)>& instead) {
    bool settling = true;
    bool changed = false;
    try {
        const SettledSave settled = SettlePendingSave(fs, recordPath, report);
        if (settled.refused) return {std::nullopt, settled.refused, settled.changed};
        settling = false;
        return {ReadRecord(fs, recordPath), std::nullopt, settled.changed};
    } catch (const RecordError& error) {
        // A record of a save in progress that cannot be trusted is an
        // earlier build's: it stays in the way until it is moved aside.
        if (!settling && instead && instead(error.what(), changed)) return {std::nullopt, std::nullopt, changed};
        report.Line("error: the install record " + recordPath + " cannot be trusted: " + error.what());
        report.Line(
            "  it tells the undo what the installs from this folder did; it and the backups beside it are left as "
            "they are");
        report.Line(std::string(NothingChangedLine(changed)));
        report.Line("failed");
        return {std::nullopt, ExitStatus::Io, changed};
    } catch (const archive::ArchiveError& error) {
        report.Line("error: the install record cannot be read: " + DescribeError(error));
        report.Line("nothing was changed");
        report.Line("failed");
        return {std::nullopt, StatusOf(error.kind())};
    }
}

std::string InterruptedOutcome(const archive::CommitOutcome& outcome, const std::string& why, std::string_view done) {
    const std::string interrupted = "saving was interrupted (" + why + ")";
    switch (outcome.holds) {
    case archive::CommitOutcome::Holds::New:
        return std::string(done) + ": " + interrupted + ", and opening the archive again completed it";
    case archive::CommitOutcome::Holds::Old:
        return "left as it was: " + interrupted + ", and opening the archive again rolled it back";
    case archive::CommitOutcome::Holds::Neither:
        return "neither as it was nor as this run meant to leave it: " + interrupted +
               ", and another program changed it in between";
    case archive::CommitOutcome::Holds::Unknown:
        break;
    }
    return "not known: " + interrupted + ", and " + outcome.why;
}

ExitStatus ReportStopped(Report& report, const StoppedRun& stopped, const std::vector<ArchiveOutcome>& outcomes,
                         ExitStatus status) {
    if (stopped.hadOpenArchive)
        report.Line("summary of " + outcomes.back().path + " (not saved): " + stopped.openTally);
    for (const auto& outcome : outcomes) report.Line(outcome.path + ": " + outcome.what);
    if (!stopped.keepFolder.empty()) report.Line(std::string(stopped.keepFolder));
    if (stopped.nothingChanged) report.Line("nothing was changed");
    report.Line("failed");
    return status;
}

}  // namespace veltrin::tool
