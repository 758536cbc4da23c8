// Large records go through as they are decoded, so memory does not grow with the record. An ADDF
// streams into the writer (a file beside the target, or a spool when the target would be written
// in place); a MODI is spooled whole to a temporary file and its runs applied from there. Nothing
// of the target, its folders or its attributes changes before the record's data are complete.
// Smaller records are still read whole before anything is done with them.
#pragma once
#include <functional>
#include <string>

#include "package/bz_update_helper.h"

// True for a record head (from ReadSectionHead) whose data are to be streamed.
bool IsStreamedSection(const unsigned char* head);

// Applies the record, reading its data as the reader hands them out and calling pump after every
// piece. False when the user cancelled or the record is invalid (after its box), or with
// *readFailed when the body failed inside the data (the reader keeps the text); the installation
// is then as it was.
bool ApplyStreamedSection(BzUpdateHelper& reader, const std::string& packageName, const std::string& rootDir,
                          const unsigned char* head, const std::function<void()>& pump, bool* readFailed);

// The same for an ADDF record.
bool ApplyStreamedAddf(BzUpdateHelper& reader, const std::string& rootDir, const unsigned char* head,
                       const std::function<void()>& pump, bool* readFailed);
