#pragma once
// A reader of the game's record of installs (`<archive>.installs`), written
// from the format's description in the README and game_record.h, apart from
// the tool's codec, so that tests hold what the tool writes against a second
// reading. It checks the mark, the version and the seal (with its own
// SHA-256), and returns the fields as plain numbers, texts and hex digests.
// A layout is returned whole: for versions 3 to 6, which write each front as runs
// laid over the front written before it (the base; for the first, nothing, or
// from version 5 the archive's header and directory as the record left them),
// each run either its own
// bytes or bytes taken from elsewhere in that base, the reader rebuilds every
// front, so that it can be held against what the archive held.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veltrin::testing::game_record {

struct Layer {
    std::string name;
    bool added = false;  // no before
    uint64_t beforeSize = 0;
    std::string beforeHex;
    std::string beforePack;  // version 6: the pack that holds it, or none (a file named by beforeHex)
    uint64_t beforeOffset = 0;
    std::string beforeName;
    uint64_t putSize = 0;
    std::string putHex;
};

struct Install {
    std::vector<std::string> folders;
    std::string modHex;
    std::string computer;
    uint64_t time = 0;
    bool hasLayoutBefore = false;
    uint64_t layoutBeforeSize = 0;
    std::vector<uint8_t> frontBefore, tailBefore;
    std::vector<Layer> entries;
};

// What an entry holds once the save that wrote the record took effect.
struct Put {
    std::string name;
    bool removed = false;
    uint64_t size = 0;
    std::string hex;
};

// Version 4: the save that wrote the record.
struct Save {
    bool hasFound = false;
    std::string foundHex;
    uint64_t foundSize = 0;
    std::vector<Put> puts;
};

struct Record {
    bool hasLayout = false;
    uint64_t layoutSize = 0;
    std::vector<uint8_t> front;
    std::vector<uint8_t> tail;
    bool hasLeft = false;
    std::string leftHex;
    uint64_t leftSize = 0;
    std::vector<Install> installs;
    Save save;  // empty before version 4
    // Version 5 with a left state whose directory was not given: the layouts'
    // flags and sizes are read, their fronts and tails are not rebuilt.
    bool layoutsUnread = false;
};

// The record, or nothing with why set when the bytes are not a whole,
// sealed record of version 1 to 6. Of versions 3 to 6 it also refuses runs of
// a kind other than 0 (bytes) and 1 (taken from the base), out of increasing
// order, empty, overlapping the next (touching it is fine), or reaching past
// their front's length; runs of kind 1 whose source reaches past the base
// (the front written against, before any run is laid); a front longer than
// 8 MiB; and layouts that together (every front and tail, as rebuilt) would
// take more than 64 MiB, all checked before the bytes are allocated. In
// version 2, the copies of the record's layout for the installs that refer
// to it count against the same 64 MiB.
// directory: the archive's header and directory, against which a version 5
// or 6 record's first layout is written when it is the one its left names.
std::optional<Record> Read(const std::vector<uint8_t>& bytes, std::string* why = nullptr,
                           const std::vector<uint8_t>* directory = nullptr);

// The SHA-256 of the bytes in lower-case hex (an implementation of its own).
std::string Sha256Hex(const std::vector<uint8_t>& bytes);

}  // namespace veltrin::testing::game_record
