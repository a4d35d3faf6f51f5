#include "window/game_probe.h"

#include <windows.h>

namespace veltrin::window {

bool ProbeGame(const std::wstring& gameFolder) {
    const std::wstring probe = gameFolder + L"\\gta_sa.exe";
    return ::GetFileAttributesW(probe.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace veltrin::window
