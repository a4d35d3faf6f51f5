// The archive checker against archives built byte by byte here, one per rule it must hold and one per way to
// break it.
#include "img_rules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <utility>

namespace veltrin::testing::img {
namespace {

constexpr uint64_t kS = 2048;

struct Entry {
    std::string name;
    uint32_t offset = 0;
    uint16_t streaming = 0;
    uint16_t archiveSize = 0;
};

void Put32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

void Put16(std::vector<uint8_t>& bytes, size_t at, uint16_t value) {
    bytes[at] = static_cast<uint8_t>(value);
    bytes[at + 1] = static_cast<uint8_t>(value >> 8);
}

// Header and directory as a writer lays them down, each name's first 24 bytes (a NUL only when shorter), and
// every record's sectors that fall within the file marked with nonzero data; cut or padded to fileBytes.
std::vector<uint8_t> Build(const std::vector<Entry>& entries, uint64_t fileBytes) {
    const size_t directoryEnd = 8 + 32 * entries.size();
    std::vector<uint8_t> bytes(std::max<uint64_t>(directoryEnd, fileBytes), 0);
    bytes[0] = 'V', bytes[1] = 'E', bytes[2] = 'R', bytes[3] = '2';
    Put32(bytes, 4, static_cast<uint32_t>(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        const size_t at = 8 + 32 * i;
        Put32(bytes, at, entries[i].offset);
        Put16(bytes, at + 4, entries[i].streaming);
        Put16(bytes, at + 6, entries[i].archiveSize);
        std::copy_n(entries[i].name.begin(), std::min<size_t>(24, entries[i].name.size()), bytes.data() + at + 8);
    }
    for (const Entry& entry : entries) {
        for (uint64_t b = entry.offset * kS; b < (uint64_t{entry.offset} + entry.streaming) * kS; b += 512) {
            if (b >= directoryEnd && b < bytes.size()) bytes[b] = 0xA5;
        }
    }
    bytes.resize(fileBytes);
    return bytes;
}

// The documentation's example: a.dff (3,000 bytes, 2 sectors) and b.txd (100 bytes, 1 sector), 8,192 bytes.
const std::vector<Entry> kExample = {{"a.dff", 1, 2}, {"b.txd", 3, 1}};

// n one-sector entries named r000.dff..., laid out tightly from the first sector after the directory.
std::vector<std::string> Names(size_t n) {
    std::vector<std::string> names;
    for (size_t i = 0; i < n; ++i) {
        const std::string digits = std::to_string(i);
        names.push_back("r" + std::string(3 - std::min<size_t>(3, digits.size()), '0') + digits + ".dff");
    }
    return names;
}

std::vector<uint8_t> Laid(const std::vector<std::string>& names) {
    std::vector<Entry> entries;
    uint32_t sector = static_cast<uint32_t>((8 + 32 * names.size() + kS - 1) / kS);
    for (const std::string& name : names) entries.push_back({name, sector++, 1});
    return Build(entries, sector * kS);
}

// A problem expected among those reported: every one of these pieces lies in one problem's text.
using Expected = std::vector<std::string>;

void ExpectProblems(const std::vector<std::string>& problems, const std::vector<Expected>& expected) {
    std::string all;
    for (const std::string& problem : problems) all += "\n  " + problem;
    EXPECT_EQ(problems.size(), expected.size()) << "reported:" << all;
    for (const Expected& pieces : expected) {
        const bool found = std::any_of(problems.begin(), problems.end(), [&](const std::string& problem) {
            return std::all_of(pieces.begin(), pieces.end(),
                               [&](const std::string& piece) { return problem.find(piece) != std::string::npos; });
        });
        EXPECT_TRUE(found) << "no problem holds \"" << pieces.front() << "\"" << (pieces.size() > 1 ? " with \"" : "")
                           << (pieces.size() > 1 ? pieces.back() + "\"" : "") << "; reported:" << all;
    }
}

struct RuleCase {
    const char* label;
    std::vector<Entry> entries;
    uint64_t fileBytes;
    std::function<void(std::vector<uint8_t>&)> tweak;  // damage the builder does not model; may be empty
    std::vector<Expected> expected;                    // empty: a sound archive
};

std::vector<Entry> Spilling() {
    // 70 records need 2,248 bytes of directory, more than sector 0.
    std::vector<Entry> entries;
    for (const std::string& name : Names(70)) entries.push_back({name, static_cast<uint32_t>(entries.size() + 1), 1});
    return entries;
}

TEST(ImgRulesTest, GameRuleProblemsFindEveryBrokenRuleAndNothingInSoundArchives) {
    const auto garbageAfterNul = [](std::vector<uint8_t>& b) { std::fill(b.begin() + 22, b.begin() + 40, 0xEE); };
    const auto magic = [](std::vector<uint8_t>& b) { b[3] = '1'; };
    const auto count = [](std::vector<uint8_t>& b) { Put32(b, 4, 300); };
    const std::vector<RuleCase> cases = {
        // Sound archives.
        {"the documentation's example", kExample, 8192, {}, {}},
        {"bytes after a name's NUL", kExample, 8192, garbageAfterNul, {}},
        {"spare room before the first record", {{"a.dff", 2, 2}, {"b.txd", 4, 1}}, 5 * kS, {}, {}},
        {"a filler between entries", {{"a.dff", 1, 2}, {"free", 3, 1}, {"b.txd", 4, 1}}, 5 * kS, {}, {}},
        {"a filler as large as the largest entry", {{"a.dff", 1, 2}, {"x.bak", 3, 2}, {"b.txd", 5, 1}}, 6 * kS, {}, {}},
        {"fillers only, nothing taken", {{"free", 1, 5}, {"x.bak", 6, 9}}, 15 * kS, {}, {}},
        {"a record of 0 sectors", {{"a.dff", 1, 2}, {"e.txd", 3, 0}, {"b.txd", 3, 1}}, 4 * kS, {}, {}},
        {"one name, two extensions", {{"a.dff", 1, 1}, {"a.txd", 2, 1}}, 3 * kS, {}, {}},
        {"no records, header only", {}, 8, {}, {}},
        {"no records, a spare sector", {}, kS, {}, {}},
        // Layout.
        {"a gap", {{"a.dff", 1, 2}, {"b.txd", 4, 1}}, 5 * kS, {}, {{"gap", "record 1 \"b.txd\""}}},
        {"an overlap", {{"a.dff", 1, 2}, {"b.txd", 2, 2}}, 4 * kS, {}, {{"overlapping", "record 1 \"b.txd\""}}},
        {"out of directory order",
         {{"a.dff", 3, 1}, {"b.txd", 1, 2}},
         4 * kS,
         {},
         {{"out of directory order", "record 1 \"b.txd\""}, {"longer", "record 1 \"b.txd\""}}},
        {"a misplaced record of 0 sectors",
         {{"a.dff", 1, 2}, {"e.txd", 7, 0}, {"b.txd", 3, 1}},
         4 * kS,
         {},
         {{"gap", "record 1 \"e.txd\""}, {"out of directory order", "record 2 \"b.txd\""}}},
        {"the first record inside the directory",
         {{"a.dff", 0, 2}, {"b.txd", 2, 1}},
         3 * kS,
         {},
         {{"inside the directory", "record 0 \"a.dff\""}}},
        {"a directory spilling over its first sector",
         Spilling(),
         71 * kS,
         {},
         {{"inside the directory", "record 0 \"r000.dff\""}}},
        {"a file longer by a sector", kExample, 8192 + kS, {}, {{"longer", "record 1 \"b.txd\""}}},
        {"a file longer by 100 bytes", kExample, 8192 + 100, {}, {{"longer", "record 1 \"b.txd\""}}},
        {"a file shorter than the last record", kExample, 8000, {}, {{"shorter", "record 1 \"b.txd\""}}},
        {"a record past the end of the file",
         {{"a.dff", 1, 5}, {"b.txd", 2, 1}},
         3 * kS,
         {},
         {{"past the end of the file", "record 0 \"a.dff\""}, {"overlapping", "record 1 \"b.txd\""}}},
        {"a record beyond 4 GiB",
         {{"a.dff", 0x1FFFFF, 2}},
         kS,
         {},
         {{"4 GiB", "record 0 \"a.dff\""}, {"shorter", "record 0 \"a.dff\""}}},
        // Records.
        {"nonzero bytes 6-7", {{"a.dff", 1, 2}, {"b.txd", 3, 1, 1}}, 8192, {}, {{"bytes 6-7", "record 1 \"b.txd\""}}},
        {"one name in two cases",
         {{"a.dff", 1, 2}, {"A.DFF", 3, 1}},
         8192,
         {},
         {{"same name", "record 1 \"A.DFF\"", "record 0 \"a.dff\""}}},
        {"a filler larger than the largest taken entry",
         {{"a.dff", 1, 1}, {"pad", 2, 3}, {"b.txd", 5, 1}},
         6 * kS,
         {},
         {{"filler", "record 1 \"pad\""}}},
        {"an unknown extension larger than the largest taken entry",
         {{"a.dff", 1, 1}, {"x.bak", 2, 3}},
         5 * kS,
         {},
         {{"filler", "record 1 \"x.bak\""}}},
        {"a name without NUL",
         {{"a.dff", 1, 2}, {"abcdefghijklmnopqrstuvwx", 3, 1}},
         8192,
         {},
         {{"NUL", "record 1 \"abcdefghijklmnopqrstuvwx\""}}},
        {"a name with a byte beyond ASCII",
         {{"caf\xE9.txd", 1, 1}},
         2 * kS,
         {},
         {{"ASCII", "record 0 \"caf\\xe9.txd\""}}},
        // Header.
        {"bad magic", kExample, 8192, magic, {{"VER2", "VER1"}}},
        {"a count the file cannot hold", kExample, 8192, count, {{"count", "300"}}},
        {"shorter than the header", {}, 4, {}, {{"header", "4 bytes"}}},
    };
    for (const RuleCase& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<uint8_t> bytes = Build(c.entries, c.fileBytes);
        if (c.tweak) c.tweak(bytes);
        ExpectProblems(GameRuleProblems(bytes), c.expected);
    }
}

TEST(ImgRulesTest, ParseReadsRecordsAsTheyLieAndSaysWhyItRefuses) {
    std::vector<uint8_t> bytes = Build({{"a.dff", 1, 2}, {"B.Txd", 3, 1, 7}}, 8192);
    std::fill(bytes.begin() + 22, bytes.begin() + 40, 0xEE);  // after a.dff's NUL
    const std::optional<Parsed> parsed = Parse(bytes);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->fileSize, 8192u);
    ASSERT_EQ(parsed->records.size(), 2u);
    EXPECT_EQ(parsed->records[0].name, "a.dff");
    EXPECT_EQ(parsed->records[0].offset, 1u);
    EXPECT_EQ(parsed->records[0].streaming, 2u);
    EXPECT_EQ(parsed->records[0].archiveSize, 0u);
    EXPECT_EQ(parsed->records[1].name, "B.Txd");
    EXPECT_EQ(parsed->records[1].offset, 3u);
    EXPECT_EQ(parsed->records[1].streaming, 1u);
    EXPECT_EQ(parsed->records[1].archiveSize, 7u);

    bytes[0] = 'v';
    std::string why;
    EXPECT_FALSE(Parse(bytes, &why).has_value());
    EXPECT_NE(why.find("VER2"), std::string::npos) << why;
    EXPECT_FALSE(Parse(bytes).has_value());
}

TEST(ImgRulesTest, GameTakesNamesWithAKnownExtensionAfterAnEarlyDot) {
    const std::vector<std::pair<const char*, bool>> cases = {
        {"a.dff", true},
        {"cj.TXD", true},
        {"x.col", true},
        {"x.ipl", true},
        {"nodes12.dat", true},
        {"x.ifp", true},
        {"x.rrr", true},
        {"x.scm", true},
        {"abcdefghijklmnopqrs.txd", true},    // dot at character 20
        {"abcdefghijklmnopqrst.txd", false},  // dot at character 21
        {"free", false},
        {"", false},
        {"x.bak", false},
        {"x.dffx", false},
        {"x.", false},
        {"x.tx", false},
    };
    for (const auto& [name, taken] : cases) EXPECT_EQ(GameTakes(name), taken) << name;
}

struct TableCase {
    const char* label;
    std::vector<std::string> before;
    std::function<void(std::vector<std::string>&)> change;
    std::vector<Expected> expected;
};

TEST(ImgRulesTest, FixedTableProblemsFindRecordsPushedPastTheTableOrGone) {
    const auto swap = [](size_t a, size_t b) { return [a, b](std::vector<std::string>& n) { std::swap(n[a], n[b]); }; };
    const auto erase = [](size_t at) {
        return [at](std::vector<std::string>& n) { n.erase(n.begin() + static_cast<std::ptrdiff_t>(at)); };
    };
    const std::vector<TableCase> cases = {
        {"549 moved to 550", Names(560), swap(549, 550), {{"record 549 \"r549.dff\"", "position 550"}}},
        {"549 moved to 550 in another case",
         Names(560),
         [](std::vector<std::string>& n) {
             std::swap(n[549], n[550]);
             n[550] = "R549.DFF";
         },
         {{"record 549 \"r549.dff\"", "position 550"}}},
        {"a record put in front pushes 549 out",
         Names(550),
         [](std::vector<std::string>& n) { n.insert(n.begin(), "new.dff"); },
         {{"record 549 \"r549.dff\"", "position 550"}}},
        {"moved within the table", Names(560), swap(0, 549), {}},
        {"moved among records past the table", Names(560), swap(551, 555), {}},
        {"renamed in case only", Names(560), [](std::vector<std::string>& n) { n[100] = "R100.DFF"; }, {}},
        {"appended past 550", Names(542), [](std::vector<std::string>& n) { n = Names(560); }, {}},
        {"a record vanished from the table", Names(560), erase(10), {{"record 10 \"r010.dff\"", "gone"}}},
        {"a record vanished past the table", Names(560), erase(555), {{"record 555 \"r555.dff\"", "gone"}}},
    };
    for (const TableCase& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<std::string> after = c.before;
        c.change(after);
        ExpectProblems(FixedTableProblems(Laid(c.before), Laid(after)), c.expected);
    }
}

TEST(ImgRulesTest, FixedTableProblemsNameASideThatIsNoArchive) {
    const std::vector<uint8_t> good = Laid(Names(3));
    const std::vector<uint8_t> junk = {'j', 'u', 'n', 'k', 0, 0, 0, 0};
    ExpectProblems(FixedTableProblems(good, junk), {{"after", "VER2"}});
    ExpectProblems(FixedTableProblems(junk, good), {{"before", "VER2"}});
}

// Records laid out tightly from the first sector after the directory, each of its own size, every byte of a
// record's sectors its tag: records of equal tags hold equal bytes.
struct Tagged {
    std::string name;
    uint16_t sectors = 1;
    uint8_t tag = 1;
};

std::vector<uint8_t> LaidWith(const std::vector<Tagged>& records) {
    std::vector<Entry> entries;
    uint32_t sector = static_cast<uint32_t>((8 + 32 * records.size() + kS - 1) / kS);
    for (const Tagged& record : records) {
        entries.push_back({record.name, sector, record.sectors});
        sector += record.sectors;
    }
    std::vector<uint8_t> bytes = Build(entries, sector * kS);
    for (size_t i = 0; i < records.size(); ++i)
        std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(entries[i].offset * kS), records[i].sectors * kS,
                    records[i].tag);
    return bytes;
}

TEST(ImgRulesTest, GameReadsTheFirstRecordOfEachNameItTakes) {
    const std::vector<uint8_t> bytes =
        LaidWith({{"x.bak", 1, 5}, {"a.dff", 2, 1}, {"b.txd", 1, 2}, {"A.DFF", 1, 3}, {"a.dff", 1, 4}});
    const std::map<std::string, Read> reads = GameReads(bytes);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads.at("a.dff").record, 1u);
    EXPECT_EQ(reads.at("a.dff").name, "a.dff");
    EXPECT_EQ(reads.at("a.dff").bytes, std::vector<uint8_t>(2 * kS, 1));
    EXPECT_EQ(reads.at("b.txd").record, 2u);
    EXPECT_EQ(reads.at("b.txd").bytes, std::vector<uint8_t>(kS, 2));
    EXPECT_EQ(TwinNames(bytes), std::set<std::string>{"a.dff"});

    // Twins that a change kept are no problem of its own; twins of another name still are.
    ExpectProblems(GameRuleProblems(bytes), {{"record 3 \"A.DFF\"", "same name"}, {"record 4 \"a.dff\"", "same name"}});
    ExpectProblems(GameRuleProblems(bytes, {"a.dff"}), {});
    ExpectProblems(GameRuleProblems(LaidWith({{"a.dff"}, {"A.DFF"}, {"b.txd"}, {"B.txd"}}), {"a.dff"}),
                   {{"record 3 \"B.txd\"", "same name"}});
}

struct TwinCase {
    const char* label;
    std::vector<Tagged> before;
    std::vector<Tagged> after;
    std::vector<Expected> expected;
};

TEST(ImgRulesTest, TwinProblemsFindAChangeAfterWhichTheGameReadsAnotherTwin) {
    const std::vector<Tagged> twins = {{"a.dff", 2, 1}, {"b.dff", 1, 2}, {"A.DFF", 1, 3}, {"c.txd", 1, 4}};
    const std::vector<TwinCase> cases = {
        {"the first replaced where it lies",
         twins,
         {{"a.dff", 2, 9}, {"b.dff", 1, 2}, {"A.DFF", 1, 3}, {"c.txd", 1, 4}},
         {}},
        {"the first replaced and moved to the end, behind its twin",
         twins,
         {{"~free-1", 2, 0}, {"b.dff", 1, 2}, {"A.DFF", 1, 3}, {"c.txd", 1, 4}, {"a.dff", 3, 9}},
         {{"record 2 \"A.DFF\", which the game skipped for record 0 \"a.dff\"", "it reads record 2 \"A.DFF\"",
           "now reads what it skipped before"}}},
        {"the first moved to the end, its twin behind it",
         twins,
         {{"~free-1", 2, 0}, {"b.dff", 1, 2}, {"~free-4", 1, 0}, {"c.txd", 1, 4}, {"a.dff", 3, 9}, {"A.DFF", 1, 3}},
         {}},
        {"the first removed: the game reads its twin", twins, {{"b.dff", 1, 2}, {"A.DFF", 1, 3}, {"c.txd", 1, 4}}, {}},
        {"the twin lost",
         twins,
         {{"a.dff", 2, 1}, {"b.dff", 1, 2}, {"c.txd", 1, 4}},
         {{"record 2 \"A.DFF\"", "not among"}}},
        {"both lost", twins, {{"b.dff", 1, 2}, {"c.txd", 1, 4}}, {{"record 0 \"a.dff\"", "only 0"}}},
        {"the twin's bytes changed",
         twins,
         {{"a.dff", 2, 1}, {"b.dff", 1, 2}, {"A.DFF", 1, 8}, {"c.txd", 1, 4}},
         {{"record 2 \"A.DFF\"", "not among"}}},
        {"a third record of the name",
         twins,
         {{"a.dff", 2, 1}, {"b.dff", 1, 2}, {"A.DFF", 1, 3}, {"c.txd", 1, 4}, {"A.dff", 1, 7}},
         {{"record 0 \"a.dff\"", "3 records"}}},
        {"the same spelling twice, swapped",
         {{"a.dff", 1, 1}, {"a.dff", 1, 3}},
         {{"a.dff", 1, 3}, {"a.dff", 1, 1}},
         {{"record 1 \"a.dff\"", "now reads what it skipped before"}}},
        {"names without twins may move anywhere",
         twins,
         {{"c.txd", 1, 4}, {"a.dff", 2, 1}, {"A.DFF", 1, 3}, {"b.dff", 1, 5}},
         {}},
    };
    for (const TwinCase& c : cases) {
        SCOPED_TRACE(c.label);
        ExpectProblems(TwinProblems(LaidWith(c.before), LaidWith(c.after)), c.expected);
    }
    const std::vector<uint8_t> junk = {'j', 'u', 'n', 'k', 0, 0, 0, 0};
    ExpectProblems(TwinProblems(LaidWith(twins), junk), {{"after", "VER2"}});
}

TEST(ImgRulesTest, LaidArchivesAreSound) {
    // The table tests above rely on Laid writing archives the game takes; this keeps that honest.
    ExpectProblems(GameRuleProblems(Laid(Names(560))), {});
}

}  // namespace
}  // namespace veltrin::testing::img
