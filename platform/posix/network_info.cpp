#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <vector>

#include "platform/network_info.h"

namespace platform {

std::string LocalHostAddress() {
  char name[255] = {0};
  if (gethostname(name, sizeof name - 1) != 0) return std::string();
  // The reentrant form of gethostbyname: the report runs on the worker thread.
  hostent entry;
  hostent* found = nullptr;
  std::vector<char> work(8192);
  int err = 0;
  while (gethostbyname_r(name, &entry, work.data(), work.size(), &found, &err) == ERANGE && work.size() < (1u << 20))
    work.resize(work.size() * 2);
  if (!found || found->h_addrtype != AF_INET || !found->h_addr_list || !found->h_addr_list[0]) return std::string();
  char text[INET_ADDRSTRLEN] = {0};
  if (!inet_ntop(AF_INET, found->h_addr_list[0], text, sizeof text)) return std::string();
  return text;
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
