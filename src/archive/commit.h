#pragma once
// How a commit changes an archive.
#include <string>

#include "archive/archive_error.h"

namespace veltrin::archive {

// A commit that failed after its point of no return: the archive on disk may
// already hold the new content (or will once the next open completes it), so
// the object that committed no longer describes it.
class CommitInterrupted : public ArchiveError {
public:
    using ArchiveError::ArchiveError;
    explicit CommitInterrupted(const ArchiveError& cause) : ArchiveError(cause.kind(), cause.path(), cause.reason()) {}
};

}  // namespace veltrin::archive
