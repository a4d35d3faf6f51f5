#pragma once
// A place a run writes, as the check before the run (elevation.h) takes it.
// The runs say which places they write; the check knows nothing of scripts.
#include <string>

namespace veltrin::tool {

struct WritePlace {
    enum class Kind {
        File,    // a file the run changes or replaces (an archive)
        Folder,  // a folder the run creates files in or removes them from; made when missing
        // A file the run removes where it is there (a backup or marker the
        // undo used); one that is missing is passed over.
        RemovedFile,
    };
    Kind kind = Kind::File;
    std::string path;
};

}  // namespace veltrin::tool
