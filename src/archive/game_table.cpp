#include "archive/game_table.h"

#include "archive/free_entries.h"
#include "text/ascii.h"

namespace veltrin::archive {

size_t TableLimitOf(const std::string& path) {
    const size_t cut = path.find_last_of("\\/");
    const std::string_view name =
        cut == std::string::npos ? std::string_view(path) : std::string_view(path).substr(cut + 1);
    return text::EqualIgnoringAsciiCase(name, "player.img") ? kPlayerTable : 0;
}

std::vector<std::string> EntriesPastTheTable(const std::vector<Entry>& records, const std::string& path) {
    std::vector<std::string> past;
    const size_t limit = TableLimitOf(path);
    if (limit == 0) return past;
    for (size_t i = limit; i < records.size(); ++i) {
        if (IsFreeEntry(records[i])) continue;
        past.push_back("Entry " + std::to_string(i + 1) + " (\"" + records[i].name + "\") lies past the first " +
                       std::to_string(limit) + " records, all the game reads of player.img: the game never sees it.");
    }
    return past;
}

}  // namespace veltrin::archive
