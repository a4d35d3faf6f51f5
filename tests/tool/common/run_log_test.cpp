#include "tool/common/run_log.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "testing/memory_file_system.h"
#include "tool/common/version.h"
#include "tool_test_support.h"

namespace veltrin::tool {
namespace {

using archive::testing::MemoryFileSystem;
using testing::BytesOf;
using testing::Text;

constexpr const char* kLog = "/app/Install.log";

void AppendRun(MemoryFileSystem& fs, const std::string& heading, const std::string& body) {
    OpenedLog log = OpenRunLog(fs, kLog, heading);
    log.file->WriteAt(log.size, std::span(reinterpret_cast<const uint8_t*>(body.data()), body.size()));
}

TEST(RunLog, TheHeadingGivesTheTimeTheVersionAndTheArgumentsAsTyped) {
    EXPECT_EQ(RunHeading(1765300812, {"Install.plug", "-restore", "--force", "D:\\My Mods\\Install.dat", ""}),
              "==== 2025-12-09 17:20 UTC, Install.plug " + std::string(kToolVersion) +
                  ": -restore --force \"D:\\My Mods\\Install.dat\" \"\"");
}

// Runs of random sizes, some larger than all that is kept, appended one
// after another: before each run the log holds the newest whole runs that
// fit, as many as fit, and the run itself follows whole.
TEST(RunLog, KeepsTheNewestWholeRunsThatFitAndDropsTheOldest) {
    MemoryFileSystem fs;
    std::mt19937 random(7);
    std::vector<std::string> runs;
    for (int n = 0; n < 60; ++n) {
        const std::string heading = std::string(kRunHeadingMark) + "run " + std::to_string(n);
        const size_t length = n % 13 == 5 ? kKeptRunBytes + random() % 4096 : random() % (kKeptRunBytes / 5);
        std::string body;
        for (size_t line = 0; body.size() < length; ++line)
            body += "line " + std::to_string(line) + " of run " + std::to_string(n) + "\r\n";
        AppendRun(fs, heading, body);
        runs.push_back(heading + "\r\n" + body);

        // The runs kept before this one: the longest suffix of the earlier
        // runs within the limit.
        std::string expectedBefore;
        for (size_t i = runs.size() - 1; i-- > 0;) {
            if (expectedBefore.size() + runs[i].size() > kKeptRunBytes) break;
            expectedBefore.insert(0, runs[i]);
        }
        ASSERT_EQ(Text(fs.Contents(kLog)), expectedBefore + runs.back()) << "after run " << n;
    }
}

// The log of an earlier build holds one run and no heading: it is kept
// while it fits, and dropped whole once it does not.
TEST(RunLog, ALogWithoutHeadingsIsOneRun) {
    MemoryFileSystem fs;
    fs.SetFile(kLog, BytesOf("running D:\\Mod\\Install.dat\r\nfailed\r\n"));
    AppendRun(fs, "==== new", "done\r\n");
    EXPECT_EQ(Text(fs.Contents(kLog)), "running D:\\Mod\\Install.dat\r\nfailed\r\n==== new\r\ndone\r\n");

    fs.SetFile(kLog, BytesOf(std::string(kKeptRunBytes + 1, 'x')));
    AppendRun(fs, "==== new", "done\r\n");
    EXPECT_EQ(Text(fs.Contents(kLog)), "==== new\r\ndone\r\n");
}

}  // namespace
}  // namespace veltrin::tool
