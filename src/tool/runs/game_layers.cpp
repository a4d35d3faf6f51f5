#include "tool/runs/game_layers.h"

#include <algorithm>
#include <map>

#include "archive/names.h"
#include "tool/runs/entry_match.h"

namespace veltrin::tool {
namespace {


// Something else changed the archive: no layout kept gives it back as the
// installs would leave it.
void DropLayouts(GameRecord& record, HeldAgainst& held) {
    held.layoutDropped = held.layoutDropped || record.layout.has_value();
    record.layout.reset();
    for (GameInstall& install : record.installs) install.layoutBefore.reset();
}

}  // namespace

HeldAgainst HoldAgainst(GameRecord& record, const archive::Archive& archive) {
    HeldAgainst held;
    if (!record.left || archive.CurrentState() != *record.left) DropLayouts(record, held);
    // Each name's top layer, from the newest install down.
    std::map<std::string, bool> holdsTop;  // folded name -> whether the entry holds its top layer's put
    for (size_t i = record.installs.size(); i-- > 0;)
        for (const InstallLayer& layer : record.installs[i].entries) {
            const std::string key = archive::FoldedName(layer.name);
            if (holdsTop.count(key)) continue;
            const archive::Entry* entry = archive.Find(layer.name);
            const bool holds = entry && EntryHolds(archive, *entry, layer.put);
            holdsTop[key] = holds;
            if (!holds) held.changed.push_back(layer.name);
        }
    // An entry changed in its own sectors leaves the directory as it was:
    // the layout, which would take it back to the game's own bytes, goes too.
    if (!held.changed.empty()) DropLayouts(record, held);
    const auto gone = [&](const InstallLayer& layer) { return !holdsTop[archive::FoldedName(layer.name)]; };
    for (GameInstall& install : record.installs)
        if (std::any_of(install.entries.begin(), install.entries.end(), gone))
            std::erase_if(install.entries.Own(), gone);
    const size_t before = record.installs.size();
    std::erase_if(record.installs, [](const GameInstall& install) { return install.entries.empty(); });
    held.installsGone = static_cast<int>(before - record.installs.size());
    return held;
}

std::optional<size_t> FindInstall(const GameRecord& record, std::string_view folder,
                                  const std::optional<archive::Digest>& mod) {
    for (size_t i = 0; i < record.installs.size(); ++i)
        if (record.installs[i].From(folder)) return i;
    if (mod)
        for (size_t i = 0; i < record.installs.size(); ++i)
            if (record.installs[i].modDigest == *mod) return i;
    return std::nullopt;
}

TopLayers SpliceOut(GameRecord& record, size_t index) {
    // Each name's lowest layer above the install: its install, and its place
    // among that install's layers.
    archive::FoldedMap<std::pair<size_t, size_t>> above;
    for (size_t i = index + 1; i < record.installs.size(); ++i) {
        const InstallLayers& layers = record.installs[i].entries;
        for (size_t at = 0; at < layers.size(); ++at) above.emplace(layers[at].name, std::pair(i, at));
    }
    TopLayers tops;
    for (const InstallLayer& layer : record.installs[index].entries) {
        if (const auto found = above.find(layer.name); found != above.end()) {
            InstallLayer& over = record.installs[found->second.first].entries.Own()[found->second.second];
            over.before = layer.before;
            over.beforeName = layer.beforeName;
        } else
            tops.push_back(layer);
    }
    record.installs.erase(record.installs.begin() + static_cast<std::ptrdiff_t>(index));
    return tops;
}

}  // namespace veltrin::tool
