// Folders, attributes, deletion, folder search and the current folder, over the Win32 calls of the
// same names (SetFileAttributesA, _mkdir, DeleteFileA, RemoveDirectoryA, FindFirstFileA, ...).
// Paths are GBK texts and take "/" or "\\" as separators on both builds. On Linux a file without
// its owner-write bit is read-only: it is neither deleted nor opened for writing, even by root,
// as Windows and Wine treat the read-only attribute. Symbolic links are reparse points.
#pragma once
#include <cstdint>
#include <string>

// windows.h maps these names onto its A/W functions; keep ours under their own names.
#pragma push_macro("DeleteFile")
#pragma push_macro("RemoveDirectory")
#pragma push_macro("GetCurrentDirectory")
#pragma push_macro("SetCurrentDirectory")
#undef DeleteFile
#undef RemoveDirectory
#undef GetCurrentDirectory
#undef SetCurrentDirectory

namespace platform {

// SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL): clears read-only, hidden and system.
bool SetFileAttributesNormal(const std::string& path);
// Sets the read-only attribute (tests and tools).
bool SetFileReadOnly(const std::string& path);
bool IsFileReadOnly(const std::string& path);

enum class PathKind { kNone, kFile, kDirectory, kLink };
// What the path names, without following a final link (a junction or symbolic link is kLink).
PathKind GetPathKind(const std::string& path);
std::uint64_t FileSizeOf(const std::string& path);  // 0 when missing

// _mkdir: one folder, whose parent must exist.
bool MakeDir(const std::string& path);
// DeleteFileA: a file, or a symbolic link to a file.
bool DeleteFile(const std::string& path);
// RemoveDirectoryA: an empty folder, or a link to a folder (the link itself).
bool RemoveDirectory(const std::string& path);
// Removes a link itself, whatever it points to.
bool RemoveLink(const std::string& path);
// MoveFileExA(MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH), rename(2) elsewhere: from takes the
// place of to in one step; a reader sees either the old file or the new one, never a part. Elsewhere
// than Windows it takes over to's permission bits.
bool ReplaceFileWith(const std::string& from, const std::string& to);

struct FindData {
  std::string name;  // GBK
  bool isDirectory;
  bool isReparsePoint;  // a symbolic link or junction; never descend into it
};
// FindFirstFileA. The pattern's last component is "*", "*.*" or a name with * and ? wildcards.
// Returns null when the search could not start.
void* FindFirst(const std::string& pattern, FindData* data);
bool FindNext(void* search, FindData* data);
void FindClose(void* search);

// GetCurrentDirectoryA (no trailing separator) and SetCurrentDirectoryA.
std::string GetCurrentDirectory();
bool SetCurrentDirectory(const std::string& path);

}  // namespace platform

#pragma pop_macro("DeleteFile")
#pragma pop_macro("RemoveDirectory")
#pragma pop_macro("GetCurrentDirectory")
#pragma pop_macro("SetCurrentDirectory")
