#pragma once
// What both programs set up before anything else: the first call of their
// entry points.

namespace veltrin::win32 {

// Makes the process safe to run from a folder anyone can write (a downloads
// folder) and quiet on drives without their media:
// - DLLs are loaded from the system folder only, never from the program's own
//   folder or the current one; systems without SetDefaultDllDirectories at
//   least drop the current folder from the search.
// - A call that touches a drive without its media (an ejected disc, an empty
//   card reader) fails instead of making the system ask the user for a disk,
//   and a file that cannot be opened shows no system box. The error mode is
//   the whole process's, for all its threads; programs started from it
//   inherit it.
void HardenProcess();

}  // namespace veltrin::win32
