// Confirms that a package file is present and has the listed digest; logs the outcome.
#pragma once
#include <atomic>
#include <string>

// True when the file opens and its MD5 (lower-case hex) equals md5 exactly. Writes one run-log line
// when the file could be opened. When *stop becomes true the digest ends between two pieces: false,
// and no log line.
bool VerifyPackageFile(const std::string& path, const std::string& md5, const std::atomic<bool>* stop = nullptr);
