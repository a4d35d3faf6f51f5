#pragma once
// The backups and markers of a block, written at their own paths only when
// asked (Publish), once a record names them. They are neither flushed nor
// written beside their place first: the record keeps what each holds, so a
// torn one is told from a whole one and written again, and the originals
// beside the archive are the durable copy. What fills each is read then, so
// what it reads (the archive as committed, a kept original) must still be
// there.
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "archive/file_io.h"

namespace veltrin::tool {

class BackupWrites {
public:
    using Fill = std::function<void(archive::File&)>;
    using Then = std::function<void()>;

    explicit BackupWrites(archive::FileSystem& fs) : fs_(fs) {}

    // The file at path is to hold what fill puts into it (nothing: empty);
    // then is called once it does (to say so).
    void Write(const std::string& path, Fill fill, Then then = {});
    // Whether a file for the path waits to be written. Paths that differ
    // only in the case of letters name one file on Windows and count as one.
    [[nodiscard]] bool Has(const std::string& path) const;
    [[nodiscard]] bool Waiting() const { return !waiting_.empty(); }
    // Writes every waiting file in the order asked, creating missing
    // folders. When this throws, the file it was writing is not there, nor
    // any after it, and none waits any more.
    void Publish();
    // None waits any more; nothing is written.
    void Forget();

private:
    archive::FileSystem& fs_;
    struct ToWrite {
        std::string path;
        Fill fill;
        Then then;
    };
    std::vector<ToWrite> waiting_;
    std::set<std::string> folded_;
};

}  // namespace veltrin::tool
