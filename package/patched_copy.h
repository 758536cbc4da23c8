// A MODI record applied to a copy: the file's bytes with the runs written over them, cut or extended
// to the record's length, handed to an ADDF writer in order. For the program's own files, which are
// never changed in place.
#pragma once
#include <cstdint>
#include <string>

#include "package/addf_writer.h"

// False when source cannot be opened for reading (nothing written). Bytes past source's end read as
// zeros, as a seek past the end and a longer length give them. A failed read raises
// platform::CFileException; a failed write raises it from the writer.
bool WritePatchedCopy(const std::string& source, const unsigned char* runs, std::uint32_t length,
                      std::uint64_t fileLength, AddfWriter* out);

// The same with the runs (length bytes, checked already) read from the file at runsPath, for a
// record too large to hold. A failed read of either file raises platform::CFileException.
bool WritePatchedCopyFromFile(const std::string& source, const std::string& runsPath, std::uint64_t length,
                              std::uint64_t fileLength, AddfWriter* out);
