#pragma once
// The detection poll's probe: does the folder hold an entry named gta_sa.exe?
#include <string>

namespace veltrin::window {

// The folder and "\gta_sa.exe" joined as they are, no separator added or
// removed; one file-attribute query of that path. Any entry of that name
// counts (also a folder); every failure is "not found".
bool ProbeGame(const std::wstring& gameFolder);

}  // namespace veltrin::window
