#pragma once
// What this program asks of the disk, in order: the files it writes (CopyFileA's copies, WriteFile
// on a handle), the flushes (FlushFileBuffers, named by the path its handle was opened with) and
// the renames (MoveFileExA, MoveFileA). Recorded through this program's imports for as long as a
// DiskCalls lives, one at a time; a flush, an opening or a MoveFileExA can be made to fail instead.

#include <windows.h>

#include <string>
#include <vector>

namespace xatest {

class DiskCalls {
public:
    DiskCalls();
    ~DiskCalls();
    DiskCalls(const DiskCalls&) = delete;
    DiskCalls& operator=(const DiskCalls&) = delete;

    // From now on every flush, every opening of an existing file for writing, or every MoveFileExA
    // fails with error (0: none fails).
    void FailFlushes(DWORD error);
    void FailOpensForWriting(DWORD error);
    void FailMoveFileEx(DWORD error);

    // "write <path>", "flush <path>", "move <from> -> <to> <MoveFileExA flags, or "MoveFileA">".
    std::vector<std::string> Calls() const;

    // The renames that a power cut could leave holding lost data: a file written here and renamed
    // (at once or at the restart) before a flush that followed its last write, or renamed at once
    // without MOVEFILE_WRITE_THROUGH. Empty when every written file reached the disk first.
    std::vector<std::string> Faults() const;

    // Whether path was flushed after its last write.
    bool FlushedSinceWritten(const std::string& path) const;

    // How many renames of a file written here were recorded.
    int WrittenFilesRenamed() const;
};

}  // namespace xatest
