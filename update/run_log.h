// The run log "nolk.log": one flushed GBK line per call, no time stamps.
#pragma once
#include <string>

// Opens (creates or empties) the log in text mode; false leaves the run without a log.
bool OpenRunLog(const std::string& gbkPath);
// printf style; the text is cut to 1022 bytes (never through a double-byte character), then CR LF;
// every line feed inside the text becomes CR LF too, as a text-mode file writes it. Does nothing
// without a log.
void WriteRunLog(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void CloseRunLog();
