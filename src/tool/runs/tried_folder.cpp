#include "tool/runs/tried_folder.h"

#include "archive/archive.h"
#include "archive/archive_error.h"
#include "text/ascii.h"
#include "tool/runs/entry_match.h"
#include "tool/runs/game_layers.h"
#include "tool/runs/game_record.h"

namespace veltrin::tool {

std::vector<std::string> ArchivesOpened(const std::vector<ScriptCommand>& commands) {
    std::vector<std::string> archives;
    for (const ScriptCommand& command : commands)
        if (command.kind == CommandKind::Open) archives.push_back(command.path);
    return archives;
}

bool GameKnowsFolder(const std::vector<std::string>& archives, const std::string& folder, archive::FileSystem& fs) {
    for (const std::string& archive : archives) {
        try {
            const std::optional<GameRecord> game = ReadGameRecord(fs, GameRecordPathFor(archive));
            if (game && FindInstall(*game, folder, std::nullopt)) return true;
        } catch (const std::exception&) {
            // Checked before: a record that cannot be read stops the run.
        }
    }
    return false;
}

// The state of an archive tells nothing here: a replacement in place leaves
// it as it was.
bool ModIsInTheGame(const InstallRecord& record, archive::FileSystem& fs) {
    for (const RecordedArchive& recorded : record.archives) {
        if (!fs.Exists(recorded.path)) continue;
        try {
            const archive::Archive archive = archive::Archive::Open(recorded.path, fs);
            for (const RecordedEntry& entry : recorded.entries) {
                if (entry.added && entry.put.size == 0) continue;
                if (OnlyBackedUp(fs, entry)) continue;  // not put in: it holds its original
                const archive::Entry* there = archive.Find(entry.name);
                if (there && EntryHolds(archive, *there, entry.put)) return true;
            }
        } catch (const archive::ArchiveError&) {
            // An archive that cannot be read tells nothing here; the run
            // reports it where it opens it.
        }
    }
    return false;
}

bool MadeElsewhereForAnotherGame(const InstallRecord& record, const std::string& computer,
                                 const std::vector<std::string>& archives, const std::string& folder,
                                 archive::FileSystem& fs) {
    // This computer's name not known: nothing tells the record is another's.
    const bool here =
        computer.empty() || (!record.computer.empty() && text::EqualIgnoringAsciiCase(record.computer, computer));
    return !here && !GameKnowsFolder(archives, folder, fs) && !ModIsInTheGame(record, fs);
}

}  // namespace veltrin::tool
