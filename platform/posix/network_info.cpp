#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <fstream>
#include <sstream>

#include "platform/network_info.h"

namespace platform {

std::string LocalHostAddress() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return std::string();
  std::string found;
  for (ifaddrs* i = list; i && found.empty(); i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    if (!(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK)) continue;
    char text[INET_ADDRSTRLEN] = {0};
    const sockaddr_in* sin = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
    if (inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text)) found = text;
  }
  freeifaddrs(list);
  return found;
}

std::string FirstDnsServer() {
  std::ifstream in("/etc/resolv.conf");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string key, value;
    if (words >> key >> value && key == "nameserver") return value;
  }
  return std::string();
}

}  // namespace platform
