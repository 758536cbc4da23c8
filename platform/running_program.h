// The files the process runs from: its program file and the libraries it loaded from its own
// folder. A running file cannot be written (Windows refuses with a sharing violation, Linux with
// ETXTBSY, and a loaded library would change under the process), but it can be renamed. An update
// of such a file builds the new file whole and flushed beside it and puts it in its place so that
// the file's name always holds a whole file, old or new, whenever the process is killed or the
// power fails.
#pragma once
#include <string>
#include <vector>

namespace platform {

// True when path names one of the running files, however it is spelled (the same file, not the
// same text). The files are known from the start on, so a new file put in a running file's place
// is no longer one.
bool IsRunningProgramFile(const std::string& gbkPath);

// The running files' paths as the process found them (GBK).
std::vector<std::string> RunningProgramFiles();

// Remembers a library loaded from the program's folder (dynamic_library calls it).
void RememberRunningLibrary(const std::string& gbkPath);

// Puts from (complete and flushed) in the place of the program file to. Elsewhere than Windows the
// running file first gets the name aside by a hard link (a rename where links are missing), then
// from is renamed over to, which keeps its permission bits. Windows renames a running file but never
// replaces it: from becomes to's pending replacement (the name pending) whenever to is running or
// has one already, and to keeps the old file until FinishProgramReplacements. False with to as it
// was when a step fails.
bool ReplaceRunningFile(const std::string& from, const std::string& to, const std::string& aside,
                        const std::string& pending);

// Where the newest content of the program file path lies: its pending replacement when it has one
// (Windows), else path itself.
std::string NewestProgramContent(const std::string& path, const std::string& pending);

// At every start, before the library is loaded: a pending replacement of the library takes its
// place, and a missing library is restored from its pending or set-aside copy. On Windows a process
// started from a pending program file (see StartPendingProgram) only takes the program's name and
// its library's, once the old process is gone, and ends here.
void FinishProgramReplacements(const std::string& libraryName, const std::string& pendingSuffix,
                               const std::string& asideSuffix);

// At the end of a run: when the program file has a pending replacement, starts it, so that it takes
// the program's name once this process has ended (Windows; nothing elsewhere).
void StartPendingProgram(const std::string& pendingSuffix);

}  // namespace platform
