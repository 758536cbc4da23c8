// The INI reader on arbitrary file contents.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string contents(reinterpret_cast<const char*>(data), size);
  for (const char* key : {"Version", "UpdateURL", ""}) {
    std::string v = platform::ParseIniString(contents, "Setting", key, "0.0.0", 64);
    if (v.size() > 63) std::abort();
  }
  return 0;
}
