#pragma once
// What both undos do with an archive once they know what to give back: save
// it as one transaction, remove the backups and markers it used up only once
// the save is durable, count what they did and say how the run ended.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/archive.h"
#include "archive/archive_error.h"
#include "archive/commit.h"
#include "archive/recovery.h"
#include "tool/common/error_text.h"
#include "tool/common/exit_status.h"
#include "tool/common/report.h"
#include "tool/runs/run_report.h"

namespace veltrin::tool {

struct UndoTally {
    int restored = 0;
    int removed = 0;
    int alreadyUndone = 0;
    int untouched = 0;

    // saved: as Text of the install's tally.
    [[nodiscard]] std::string Text(bool saved = true) const;
};

class UndoSteps {
public:
    // changedBefore: before it, an earlier run's scratch files were removed or
    // its save in progress settled.
    UndoSteps(const std::string& scriptPath, archive::FileSystem& fs, Report& report, bool force, bool changedBefore)
        : scriptPath_(scriptPath), fs_(fs), report_(report), force_(force), changed_(changedBefore) {}
    virtual ~UndoSteps() = default;
    UndoSteps(const UndoSteps&) = delete;
    UndoSteps& operator=(const UndoSteps&) = delete;

protected:
    // Undoes each archive (undoOne(archive)), stopping at the first error.
    template <typename Plan, typename UndoOne>
    std::optional<ExitStatus> EachArchive(const Plan& plan, UndoOne undoOne) {
        try {
            for (const auto& archive : plan) undoOne(archive);
        } catch (const archive::ArchiveError& error) {
            return Stop(DescribeError(error), StatusOf(error.kind()));
        } catch (const std::exception& error) {
            return Stop(error.what(), ExitStatus::Io);
        }
        return std::nullopt;
    }

    // Saves the staged change (commit). A save interrupted past its point of
    // no return is told as what opening the archive again finds.
    template <typename Commit>
    void Save(Commit commit) {
        const std::string path = archive_->Path();
        report_.Line("saving " + path);
        outcomes_.back().what = "not changed: saving it failed";
        archive::CommitStats stats;
        try {
            stats = commit();
        } catch (const archive::CommitInterrupted& interrupted) {
            archive_.reset();
            changed_ = true;
            const archive::CommitOutcome outcome = archive::OutcomeOf(interrupted, path, fs_);
            outcomes_.back().what = InterruptedOutcome(outcome, DescribeError(interrupted), "undone");
            throw;
        }
        changed_ = true;
        report_.Line(stats.inPlace ? "saved (changed in place)" : "saved");
        outcomes_.back().what = "undone";
    }

    // Only once the archive's change is durable (or it needed none): a crash
    // before then leaves every backup in place. Returns those removed.
    std::vector<std::string> RemoveUsedUp();

    // A record may let go of a used backup only once its removal lasts: a
    // backup that came back after a power cut, unknown to the record, would
    // be kept by a later install as the original. Each folder the removed
    // files lay in is flushed once.
    void MakeRemovalsDurable(const std::vector<std::string>& removed);

    // The run's end once every archive is undone: a used backup that could
    // not be removed fails it.
    ExitStatus Ending();

    // The bar of the open archive's save.
    archive::Progress Bar();

    // The folder a stopped run asks the player to keep; none by default.
    [[nodiscard]] virtual std::string_view KeepFolder() const { return {}; }

    const std::string& scriptPath_;
    archive::FileSystem& fs_;
    Report& report_;
    const bool force_;
    std::optional<archive::Archive> archive_;
    UndoTally tally_;
    std::vector<std::string> usedUp_;
    std::vector<ArchiveOutcome> outcomes_;
    int unremoved_ = 0;
    bool changed_ = false;  // whether this run may have changed anything on disk

private:
    ExitStatus Stop(const std::string& why, ExitStatus status);
};

}  // namespace veltrin::tool
