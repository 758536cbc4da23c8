// ParseUpdateList and the URL and version readers on arbitrary bytes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "update/update_list.h"
#include "update/version.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  VersionCode installed = 0;
  std::size_t skip = size >= 4 ? 4 : 0;
  for (std::size_t i = 0; i < skip; ++i) installed = (installed << 8) | data[i];
  const std::string body(reinterpret_cast<const char*>(data) + skip, size - skip);
  ParseUpdateList(installed, body);
  for (const PackageEntry& e : UpdateList) {
    if (e.version <= installed) std::abort();
    const std::string name = PackageFileName(e.url);
    if (name.find_first_of("/\\:") != std::string::npos || name == "..") std::abort();
  }
  std::string host, path;
  std::uint16_t port;
  if (SplitUrl(body, &host, &port, &path)) {
    if (host.empty() || path.empty() || host.size() > 1023 || path.size() > 2047) std::abort();
  } else if (!host.empty() || !path.empty()) {
    std::abort();
  }
  ParseVersionCode(body);
  return 0;
}
