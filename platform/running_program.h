// The files the process runs from: its program file and the libraries it loaded from its own
// folder. A running file cannot be written (Windows refuses with a sharing violation, Linux with
// ETXTBSY, and a loaded library would change under the process), but it can be renamed: an update
// of such a file moves it aside and puts the new file in its place; the file set aside is deleted at
// the next start.
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

// Moves to aside to aside (replacing a file left there) and from into to's place; to keeps its
// permission bits elsewhere than Windows, where the name to never stands empty on the way (Windows
// needs two renames). False with to as it was when either step fails.
bool ReplaceRunningFile(const std::string& from, const std::string& to, const std::string& aside);

}  // namespace platform
