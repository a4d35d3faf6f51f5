#pragma once
// The install that the crash suites break at every step: two archives and
// four entries, one of which the install adds. gta3.img is written anew
// both ways (the install grows a.dff and adds new.dff, the undo shrinks
// a.dff back); player.img changes in place (c.dff fits its sector).
#include <string>
#include <vector>

#include "archive/names.h"
#include "fault_file_system.h"
#include "testing/memory_file_system.h"
#include "tool/common/exit_status.h"
#include "tool_test_support.h"

namespace veltrin::tool::testing {

struct CrashItem {
    std::string archive;  // "gta3.img" or "player.img"
    std::string name;     // as the script names it
    Bytes original;       // empty: the install adds it
    Bytes mod;
};

inline const std::vector<CrashItem> kCrashItems = {
    {"gta3.img", "a.dff", Pattern(3000, 1), Pattern(4500, 11)},
    {"gta3.img", "B.TXD", Pattern(100, 2), Pattern(10, 12)},
    {"gta3.img", "new.dff", {}, Pattern(700, 13)},
    {"player.img", "c.dff", Pattern(2048, 4), Pattern(2000, 14)},
};

inline std::string CrashScript() { return InstallScript({"a.dff", "B.TXD", "new.dff"}, {"c.dff"}); }

// The disk before the install: the original archives and the mod's files.
inline void SetUpBeforeInstall(archive::testing::MemoryFileSystem& fs) {
    MakeArchive(fs, kGta3, {{"a.dff", Pattern(3000, 1)}, {"b.txd", Pattern(100, 2)}, {"other.dff", Pattern(5000, 3)}});
    MakeArchive(fs, kPlayer, {{"c.dff", Pattern(2048, 4)}});
    for (const CrashItem& item : kCrashItems) fs.SetFile(Payload(item.archive, item.name), item.mod);
}

// What the stored entry of the item holds: the mod's data, the original, or
// (for an addition) nothing. Fails the test on anything else.
enum class Holds { Mod, Original, Nothing };
inline Holds Check(archive::testing::MemoryFileSystem& fs, const CrashItem& item, const std::string& what) {
    const Content content = ReadContent(fs, item.archive == "gta3.img" ? kGta3 : kPlayer);
    for (const auto& [name, bytes] : content) {
        if (archive::FoldedName(name) != archive::FoldedName(item.name)) continue;
        if (bytes == Stored(item.mod)) return Holds::Mod;
        EXPECT_EQ(bytes, Stored(item.original)) << what << ": " << item.name << " holds neither";
        return Holds::Original;
    }
    EXPECT_TRUE(item.original.empty()) << what << ": " << item.name << " is gone";
    return Holds::Nothing;
}

// The faults each suite breaks the run with, at every step in turn.
inline const std::vector<archive::testing::Crash> kCrashFaults = {
    {archive::testing::Fault::Error},
    {archive::testing::Fault::Kill},
    {archive::testing::Fault::PowerCut, archive::testing::Tear::LoseAll},
    {archive::testing::Fault::PowerCut, archive::testing::Tear::KeepAll}};

struct FaultedRun {
    bool succeeded = false;  // the run reported ExitStatus::Ok
    bool fired = false;      // the fault struck: a later step may strike too
};

// run(fileSystem) on the disk, whose k-th change meets the fault.
template <typename Run>
FaultedRun RunWithFault(archive::testing::MemoryFileSystem& fs, const archive::testing::Crash& fault, int k, Run run) {
    archive::testing::FaultFileSystem faulty(fs, fault, k);
    const bool succeeded = run(faulty) == ExitStatus::Ok;
    return {succeeded, faulty.Fired()};
}

}  // namespace veltrin::tool::testing
