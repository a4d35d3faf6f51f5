#pragma once
// The text of Install.dat: the command lines the archive tool runs. The
// install run writes each line as soon as it is made.
#include <functional>
#include <string>
#include <string_view>

namespace veltrin::install {

// The two archives the script works on, in script order.
enum class Block { Gta3 = 1, Player = 2 };

// "gta3.img" or "player.img": the archive's file name and the name of the
// payload folder that feeds it.
std::string_view ArchiveName(Block block);

// Every backslash doubled; nothing else changes.
std::string EscapePath(std::string_view path);

std::string OpenLine(Block block, std::string_view gameFolder);
std::string ExportLine(Block block, std::string_view appFolder, std::string_view name);
std::string ImportLine(Block block, std::string_view appFolder, std::string_view name);
std::string CloseLine();

// The names a block lists: each of its two loops asks count() afresh and
// takes names nameAt(0) to nameAt(count() - 1).
struct BlockNames {
    std::function<int()> count;
    std::function<std::string(int index)> nameAt;
};

// Makes the lines of one block, without line ends, and hands each to write
// the moment it is made: the open line, an export line per name, an import
// line per name, and "-close" for the first block only.
void BlockLines(Block block, std::string_view gameFolder, std::string_view appFolder, const BlockNames& names,
                const std::function<void(const std::string& line)>& write);

}  // namespace veltrin::install
