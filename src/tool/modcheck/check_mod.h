#pragma once
// check-mod: what an install from an application folder would do with the
// files its mod author put into the payload folders gta3.img and player.img,
// found without writing anything. The folders are listed by the installer's
// own rules; each file gets one line: installed, left out and why, a problem
// that stops the install or breaks the game, or a warning. What a trial
// install left in the application folder (leftovers.h) is a problem too: the
// zip must not carry it.
#include <string>

#include "archive/file_io.h"
#include "tool/common/exit_status.h"
#include "tool/common/report.h"

namespace veltrin::tool {

// Ok when every file will be installed and none has a problem (warnings
// allowed); ModProblems when a file stops the install or is damaged, or a
// trial install's leftovers would ship;
// ModFilesLeftOut when nothing stops it but files will be left out.
ExitStatus CheckMod(const std::string& appFolder, archive::FileSystem& fs, Report& report);

}  // namespace veltrin::tool
