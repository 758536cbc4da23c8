#include "tests/support/host_lookup.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <cstdio>
#endif

namespace testsupport {

std::string HostNameAddress() {
  std::string found;
#ifdef _WIN32
  WSADATA data;
  WSAStartup(MAKEWORD(1, 1), &data);
  char name[256] = {0};
  if (gethostname(name, sizeof name - 1) == 0) {
    hostent* h = gethostbyname(name);
    if (h && h->h_addr_list && h->h_addr_list[0]) {
      in_addr a;
      memcpy(&a, h->h_addr_list[0], sizeof a);
      found = inet_ntoa(a);
    }
  }
#else
  const char* cmd =
      "python3 -c 'import socket\n"
      "try: print(socket.gethostbyname_ex(socket.gethostname())[2][0])\n"
      "except Exception: pass' 2>/dev/null";
  if (std::FILE* p = popen(cmd, "r")) {
    char buf[64] = {0};
    if (std::fgets(buf, sizeof buf, p)) found = buf;
    pclose(p);
  }
  while (!found.empty() && (found.back() == '\n' || found.back() == '\r')) found.pop_back();
#endif
  return found.empty() ? "127.0.0.1" : found;
}

}  // namespace testsupport
