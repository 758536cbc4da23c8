// Large ADDF records go to their file as they are decoded, so memory does not grow with the
// record: the folders, the writer and the retry boxes are those of any ADDF. Smaller records, and
// every MODI, are still read whole before anything is done with them.
#pragma once
#include <functional>
#include <string>

#include "package/bz_update_helper.h"

// True for a record head (from ReadSectionHead) whose data are to be streamed.
bool IsStreamedSection(const unsigned char* head);

// Writes the record's data as the reader hands them out, calling pump after every piece. False
// when the user cancelled, or with *readFailed when the body failed inside the data (the reader
// keeps the text); the target is then as it was.
bool ApplyStreamedAddf(BzUpdateHelper& reader, const std::string& rootDir, const unsigned char* head,
                       const std::function<void()>& pump, bool* readFailed);
