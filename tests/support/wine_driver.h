// Small helpers of the native drivers that run Windows programs under Wine.
#pragma once
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/test_files.h"

namespace testsupport {

// The Linux file system is drive Z: under Wine.
inline std::string WinePath(const std::string& unixPath) {
  std::string p = "Z:" + unixPath;
  for (char& c : p)
    if (c == '/') c = '\\';
  return p;
}

// The Win32 helpers write texts as hexadecimal bytes, so GBK survives the trip.
inline std::string Hex(const std::string& s) {
  static const char* d = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) out += std::string(1, d[c >> 4]) + d[c & 15];
  return out;
}
inline std::string Unhex(const std::string& h) {
  std::string out;
  for (std::size_t i = 0; i + 1 < h.size(); i += 2)
    out += static_cast<char>(std::strtol(h.substr(i, 2).c_str(), nullptr, 16));
  return out;
}

// After a run that updated nolkpatch.exe: the new program takes its name once the old one has ended.
inline void WaitForPendingProgram(const std::string& patchDir) {
  for (int i = 0; i < 300 && Exists(patchDir + "/nolkpatch.exe.nolkpatch-pending"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

// args run through the suite's wine-run wrapper in folder cwd.
inline ProcessOptions WineProcess(const std::string& cwd, const std::vector<std::string>& args) {
  ProcessOptions o;
  o.argv = {Env("NOLK_SOURCE_DIR") + "/tests/support/wine-run"};
  o.argv.insert(o.argv.end(), args.begin(), args.end());
  o.cwd = cwd;
  o.timeoutSeconds = 180;
  return o;
}

}  // namespace testsupport
