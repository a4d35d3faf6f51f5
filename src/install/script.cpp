#include "install/script.h"

#include "install/payload_folders.h"

namespace veltrin::install {
namespace {

constexpr char kQuote = '"';

std::string Quoted(std::string_view text) {
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += kQuote;
    quoted += text;
    quoted += kQuote;
    return quoted;
}

}  // namespace

std::string_view ArchiveName(Block block) { return kPayloadFolders[block == Block::Gta3 ? 0 : 1]; }

std::string EscapePath(std::string_view path) {
    std::string escaped;
    escaped.reserve(path.size() + 8);
    for (const char c : path) {
        escaped += c;
        if (c == '\\') escaped += '\\';
    }
    return escaped;
}

// The literals below hold real backslashes: "\\\\" in C++ source is the two
// characters \\ of the script, one escaped separator.
std::string OpenLine(Block block, std::string_view gameFolder) {
    return "-open " + Quoted(EscapePath(gameFolder) + "\\\\" + std::string(kModelsFolder) + "\\\\" +
                             std::string(ArchiveName(block)));
}

std::string ExportLine(Block block, std::string_view appFolder, std::string_view name) {
    const std::string backup =
        EscapePath(appFolder) + "\\\\Backups\\\\" + std::string(ArchiveName(block)) + "\\\\" + std::string(name);
    return "-export " + Quoted(name) + " " + Quoted(backup);
}

std::string ImportLine(Block block, std::string_view appFolder, std::string_view name) {
    return "-import " +
           Quoted(EscapePath(appFolder) + "\\\\" + std::string(ArchiveName(block)) + "\\\\" + std::string(name));
}

std::string CloseLine() { return "-close"; }

void BlockLines(Block block, std::string_view gameFolder, std::string_view appFolder, const BlockNames& names,
                const std::function<void(const std::string& line)>& write) {
    write(OpenLine(block, gameFolder));
    const int exports = names.count();
    for (int i = 0; i < exports; ++i) write(ExportLine(block, appFolder, names.nameAt(i)));
    const int imports = names.count();
    for (int i = 0; i < imports; ++i) write(ImportLine(block, appFolder, names.nameAt(i)));
    if (block == Block::Gta3) write(CloseLine());
}

}  // namespace veltrin::install
