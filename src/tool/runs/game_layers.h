#pragma once
// The entries of the game's record of installs (game_record.h) as stacks of
// layers: the layers of an entry are the installs that touched it, in the
// order they happened, each over the one below; the bottom one's `before` is
// the game's own bytes (or nothing, for an entry an install added). What an
// entry holds is the top layer's put. These are the rules that keep the
// stacks true whatever the player does:
//  - held against the archive, an entry whose bytes are not its top layer's
//    put was changed by another program, or by a repair or update of the
//    game: its layers go (those installs own it no more), and a later
//    install backs up what is there now;
//  - an install of a mod already in the game (from the same application
//    folder, or the same mod digest: a fresh copy) is the same install: its
//    layers are spliced out and it goes on top again;
//  - an undo splices the install's layers out: where it is the top, the
//    entry gets its `before` back; else the layer above takes its `before`,
//    and the entry stays as it is.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/archive.h"
#include "tool/runs/game_record.h"

namespace veltrin::tool {

// What holding the record against the archive found.
struct HeldAgainst {
    std::vector<std::string> changed;  // entries whose layers went, as the record spelt them
    bool layoutDropped = false;        // the archive is not as the tool's last change left it
    int installsGone = 0;              // installs left with no entry in this archive
};
// Drops what the archive no longer holds (see above). Errors reading the
// archive throw ArchiveError.
HeldAgainst HoldAgainst(GameRecord& record, const archive::Archive& archive);

// The install that is this one: made from the folder, else of the same mod.
std::optional<size_t> FindInstall(const GameRecord& record, std::string_view folder,
                                  const std::optional<archive::Digest>& mod);

// A layer of which the install spliced out was the top: the entry holds its
// put, and gets its before back unless a new layer is built on it.
using TopLayers = std::vector<InstallLayer>;
// Splices the install out of every stack (the layer above takes its
// before) and removes it from the record. Returns the layers it was the top
// of.
TopLayers SpliceOut(GameRecord& record, size_t index);

}  // namespace veltrin::tool
