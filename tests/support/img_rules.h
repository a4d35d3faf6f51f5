// A checker of the rules the game's reading of version-2 .img archives relies on, written apart from the
// archive tool so that tests can hold every archive the tool writes against a second reading of the format.
// It looks only at the header and the directory (and the file's length), never at entry contents.
#pragma once

#include <cstdint>
#include <optional>
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
