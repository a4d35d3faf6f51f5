// Whatever error strikes whichever step of an install or an undo, what the
// run says is true. An archive it calls "not changed" or "left as it was"
// holds the bytes it held before, once opened again (which completes or rolls
// back an interrupted save); one it calls saved or undone holds the new
// content; and "nothing was changed" means the archives and everything in
// Backups are as they were. Each kind of error is tried at every step, so
// that an error after a save's point of no return is met too.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/archive_error.h"
#include "fault_file_system.h"
#include "install_crash_fixture.h"
#include "testing/memory_file_system.h"
#include "tool/runs/restore.h"
#include "tool/runs/script_runner.h"
#include "tool_test_support.h"

namespace veltrin::tool {
namespace {

using namespace testing;
using archive::ErrorKind;
using archive::testing::Crash;
using archive::testing::Fault;
using archive::testing::FaultFileSystem;
using archive::testing::MemoryFileSystem;

const char* KindName(ErrorKind kind) {
    switch (kind) {
    case ErrorKind::NotFound:
        return "not found";
    case ErrorKind::AccessDenied:
        return "access denied";
    case ErrorKind::Locked:
        return "locked";
    case ErrorKind::DiskFull:
        return "disk full";
    case ErrorKind::NotAnArchive:
        return "not an archive";
    case ErrorKind::Damaged:
        return "damaged";
    case ErrorKind::BadName:
        return "bad name";
    case ErrorKind::TooLarge:
        return "too large";
    case ErrorKind::Changed:
        return "changed";
    case ErrorKind::Io:
        return "i/o";
    }
    return "?";
}

const std::vector<ErrorKind> kEveryKind = {
    ErrorKind::NotFound, ErrorKind::AccessDenied, ErrorKind::Locked,   ErrorKind::DiskFull, ErrorKind::NotAnArchive,
    ErrorKind::Damaged,  ErrorKind::BadName,      ErrorKind::TooLarge, ErrorKind::Changed,  ErrorKind::Io};

// What a run that changes the archives as it should leaves in each entry.
enum class Goal { Install, Undo };

struct Tally {
    int steps = 0;
    int saidChangedAfterFailing = 0;   // the save was interrupted past its point of no return, and took effect
    int saidUnchangedAfterSaving = 0;  // interrupted, and rolled back
    int saidNothingChanged = 0;
};

// Holds the disk against what the run said of it.
void CheckWhatWasSaid(MemoryFileSystem& fs, const DiskFiles& before, const RecordingReport& report, Goal goal,
                      bool succeeded, const std::string& what, Tally& tally) {
    // Opening again completes or rolls back whatever was left unfinished.
    for (const std::string& path : {kGta3, kPlayer}) (void)archive::Archive::Open(path, fs);
    const DiskFiles after = KeptFiles(fs);
    if (report.Has("nothing was changed")) {
        ++tally.saidNothingChanged;
        EXPECT_EQ(Changes(before, after), std::vector<std::string>{}) << what << ": \"nothing was changed\" was said\n"
                                                                      << report.All();
    }
    for (const std::string& path : {kGta3, kPlayer}) {
        const Said said = WhatWasSaid(report.lines, path);
        if (said == Said::Unchanged) {
            EXPECT_TRUE(after.at(path) == before.at(path)) << what << ": " << path << " was said to be unchanged\n"
                                                           << report.All();
            if (report.Has("saving " + path)) ++tally.saidUnchangedAfterSaving;
        }
        if (said != Said::Changed) continue;
        if (!succeeded) ++tally.saidChangedAfterFailing;
        for (const CrashItem& item : kCrashItems) {
            if ((item.archive == "gta3.img") != (path == kGta3)) continue;
            const Holds holds = Check(fs, item, what);
            if (goal == Goal::Install)
                EXPECT_EQ(holds, Holds::Mod) << what << ": " << path << " was said to be saved\n" << report.All();
            else
                EXPECT_NE(holds, Holds::Mod) << what << ": " << path << " was said to be undone\n" << report.All();
        }
    }
}

void SetUpInstalled(MemoryFileSystem& fs) {
    SetUpBeforeInstall(fs);
    RecordingReport report;
    ASSERT_EQ(RunScript(kScript, CrashScript(), fs, report), ExitStatus::Ok) << report.All();
}

Tally SweepEveryStep(ErrorKind kind, Goal goal) {
    Tally tally;
    for (int k = 1;; ++k) {
        MemoryFileSystem fs;
        if (goal == Goal::Install)
            SetUpBeforeInstall(fs);
        else
            SetUpInstalled(fs);
        const DiskFiles before = KeptFiles(fs);
        RecordingReport report;
        bool fired = false;
        bool succeeded = false;
        {
            FaultFileSystem faulty(fs, Crash{Fault::Error, {}, 0, kind}, k);
            const ExitStatus status = goal == Goal::Install ? RunScript(kScript, CrashScript(), faulty, report)
                                                            : RestoreFromScript(kScript, CrashScript(), faulty, report);
            fired = faulty.Fired();
            succeeded = status == ExitStatus::Ok;
        }
        const std::string what = std::string(goal == Goal::Install ? "install" : "undo") + ", " + KindName(kind) +
                                 " error at step " + std::to_string(k);
        CheckWhatWasSaid(fs, before, report, goal, succeeded, what, tally);
        if (!fired) break;
        tally.steps = k;
        if (k > 1000) {
            ADD_FAILURE() << what << ": the run does not end";
            break;
        }
    }
    return tally;
}

TEST(TruthfulReport, AnInstallSaysWhatBecameOfEachArchiveWhateverErrorStrikes) {
    for (const ErrorKind kind : kEveryKind) {
        const Tally tally = SweepEveryStep(kind, Goal::Install);
        EXPECT_GT(tally.steps, 20) << KindName(kind);
        // The sweep meets a save interrupted past its point of no return, and
        // errors early enough that nothing was changed.
        EXPECT_GT(tally.saidChangedAfterFailing, 0) << KindName(kind);
        EXPECT_GT(tally.saidNothingChanged, 0) << KindName(kind);
    }
}

TEST(TruthfulReport, AnUndoSaysWhatBecameOfEachArchiveWhateverErrorStrikes) {
    for (const ErrorKind kind : kEveryKind) {
        const Tally tally = SweepEveryStep(kind, Goal::Undo);
        EXPECT_GT(tally.steps, 10) << KindName(kind);
        EXPECT_GT(tally.saidChangedAfterFailing, 0) << KindName(kind);
    }
}

}  // namespace
}  // namespace veltrin::tool
