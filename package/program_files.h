// The patcher's own files: the running program and the debug-help library in its folder. Without
// them no later start can run, so nothing ever writes them in place or removes them: a new version is
// built whole beside the file, flushed, and then takes its place (platform/running_program.h).
#pragma once
#include <string>

// True when path names the running program or its library: the same file, or a path the client
// takes for the same name (case-insensitive, trailing dots and blanks trimmed, "." and ".." resolved,
// either separator). A program file replaced earlier in the run is still one.
bool IsPatcherFile(const std::string& path);
