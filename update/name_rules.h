// How the program and nolkpack read names: split GBK-aware (a trail byte 0x5C is part of a
// character, not a backslash), the names no client can write, and names compared as Windows
// compares them (case-insensitively over the name's Unicode form).
#pragma once
#include <cstddef>
#include <string>
#include <vector>

// The next "/" or "\\" at or after from that is not the trail byte of a GBK character; npos if none.
std::size_t FindPathSeparator(const std::string& text, std::size_t from = 0);
// The last such separator; npos if none.
std::size_t FindLastPathSeparator(const std::string& text);
// The parts between separators, empty ones included ("a//b" gives "a", "", "b").
std::vector<std::string> SplitPathComponents(const std::string& path);

// CON, PRN, AUX, NUL, COM1-9, LPT1-9, in any letter case, with or without an extension and with
// the trailing dots and blanks Windows ignores.
bool IsDeviceName(const std::string& component);

// One component as Windows resolves it: trailing dots and blanks removed.
std::string TrimWindowsComponent(const std::string& component);

// True when a section name stays below the root and names a file Windows can write: not empty, not
// absolute, no drive or stream colon, no ".." component with either separator, no device name, and a
// last component that does not reduce to its folder.
bool IsSafeSectionName(const std::string& name);

// Every ADDF of a folder goes through this one name: a temporary file left by a killed run is
// reused by the next one there.
extern const char kAddfTempName[];
// The program before this one wrote an ADDF copy under the target's name with this suffix; it is
// removed before the target is written.
extern const char kOldCopySuffix[];
// A running program file that an update replaces is moved aside under its name with this suffix,
// and deleted at the next start.
extern const char kSetAsideSuffix[];
// A package being fetched lies in var/gac under its name with this suffix until it is whole.
extern const char kPartSuffix[];
// Windows: the new content of a running program file waits whole under its name with this suffix
// until one rename can put it in the file's place.
extern const char kPendingSuffix[];
// The debug-help library the program loads from its own folder.
extern const char kProgramLibrary[];

// The stricter rule for names nolkpack puts into packages, so that every client (Windows, Wine and
// the native build) writes the same file: IsSafeSectionName, no component ending in a dot or blank,
// none of the characters < > " | ? * or control characters, none of the client's own scratch names
// (kAddfTempName, a name ending in kOldCopySuffix, kSetAsideSuffix, kPendingSuffix or kPartSuffix),
// which a client would overwrite or delete while it writes the folder's other files, and a list line
// of 259 bytes at most when the name is later retired. False with *why in words.
bool IsPortablePackageName(const std::string& name, std::string* why);

// A key that two GBK paths share exactly when Windows takes them for the same path: each component
// trimmed as Windows does and upper-cased over its Unicode form; "/" between components.
std::string WindowsPathKey(const std::string& gbkPath);
