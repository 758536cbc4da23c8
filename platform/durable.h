// Making what a run wrote survive a power cut, one barrier at a time instead of one flush per file:
// the writers note each file they finish, and FlushWritten makes every noted file's data and the
// folder entries of created and renamed files durable. On Linux that is syncfs of each file system
// the noted files lie on (one call, measured far cheaper than fdatasync of each file plus fsync of
// each folder); on Windows FlushFileBuffers on the volume when the process may open it (it runs
// elevated), else on each noted file.
#pragma once
#include <string>

namespace platform {

// Remembers that path (GBK) was written since the last barrier.
void NoteWritten(const std::string& path);

// The barrier. Raises CFileException naming the file (or folder) that could not be flushed; the
// noted files stay noted then.
void FlushWritten();

// After a file was renamed into folder: its entry reaches the disk (fsync of the folder; nothing on
// Windows, where the move is written through). Raises CFileException naming the folder.
void FlushFolder(const std::string& folder);

}  // namespace platform
