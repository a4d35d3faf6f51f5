// A checker of the rules the game's reading of version-2 .img archives relies on, written apart from the
// archive tool so that tests can hold every archive the tool writes against a second reading of the format.
// The rules look only at the header and the directory (and the file's length); what the game reads under each
// name, and whether a change kept it, looks at the entries' sectors too.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace veltrin::testing::img {

// One directory record as it lies on disk.
struct Record {
    std::string name;          // up to the first NUL
    uint32_t offset = 0;       // sectors
    uint16_t streaming = 0;    // bytes 4-5, sectors
    uint16_t archiveSize = 0;  // bytes 6-7
};

struct Parsed {
    std::vector<Record> records;  // in directory order
    uint64_t fileSize = 0;
};

// The header and directory of a version-2 archive; nothing (and why, when why is given) when the bytes are not
// one: shorter than the header, not starting with "VER2", or counting more records than the file can hold.
std::optional<Parsed> Parse(const std::vector<uint8_t>& bytes, std::string* why = nullptr);

// Every rule of the game's reading that these bytes break, each in plain words naming the record (index and
// name) it concerns; empty when all hold. Each fault is reported once: a record is checked against the one
// before it in directory order, so one misplaced record shows as its own start and its successor's start.
std::vector<std::string> GameRuleProblems(const std::vector<uint8_t>& bytes);
// The same, except that records sharing one of these names (lower case) are not reported: twins that another tool
// left and a change kept. TwinProblems holds such a change to the game's reading of them.
std::vector<std::string> GameRuleProblems(const std::vector<uint8_t>& bytes, const std::set<std::string>& twinsKept);

// What the game reads under a name it takes: the first record of that name in directory order, ASCII case ignored.
struct Read {
    size_t record = 0;           // its index in the directory
    std::string name;            // as stored
    std::vector<uint8_t> bytes;  // all its sectors, as far as the file holds them
};
// Every name the game takes, in lower case, with the record it reads.
std::map<std::string, Read> GameReads(const std::vector<uint8_t>& bytes);

// Names (lower case) that more than one record the game takes holds: the game reads the first of them and skips
// the others.
std::set<std::string> TwinNames(const std::vector<uint8_t>& bytes);

// Twins through a change: the records of a name that the game skipped in `before` can be reached by no name, so a
// change may take away or replace only the one it reads. Every name whose skipped records do not all lie, in
// their order and with their bytes, behind at most one other record of that name in `after` (the one the game
// reads then, unless the one it read was removed and the first of them is read now); plain words, empty when
// none. A replaced entry moved behind its twin shows here: the game would read the twin instead. Either side not
// being an archive is a problem too.
std::vector<std::string> TwinProblems(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after);

// player.img: every record that lies within the game's table of 550 in `before` but at position 550 or later in
// `after` (matched by name without regard to ASCII case, first match as the game looks it up), and every record
// of `before` that is gone from `after`; plain words, empty when none. Either side not being an archive is a
// problem too.
std::vector<std::string> FixedTableProblems(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after);

// Whether the game takes an entry of this name: its first dot lies within the first 20 characters and what
// follows that dot is a known extension (dff, txd, col, ipl, dat, ifp, rrr, scm; any ASCII case). Every other
// entry is a filler the game never loads nor reads across.
bool GameTakes(std::string_view name);

}  // namespace veltrin::testing::img
