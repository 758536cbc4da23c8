#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <vector>

#include "platform/network_info.h"

namespace platform {

std::string LocalHostAddress() {
  char name[255] = {0};
  if (gethostname(name, sizeof name) != 0) return std::string();
  hostent* host = gethostbyname(name);
  if (!host || !host->h_addr_list || !host->h_addr_list[0]) return std::string();
  in_addr a;
  memcpy(&a, host->h_addr_list[0], sizeof a);
  return inet_ntoa(a);
}

std::string FirstDnsServer() {
  ULONG size = 584;
  std::vector<unsigned char> buf(size);
  DWORD r = GetNetworkParams(reinterpret_cast<FIXED_INFO*>(buf.data()), &size);
  if (r == ERROR_BUFFER_OVERFLOW) {
    buf.assign(size, 0);
    r = GetNetworkParams(reinterpret_cast<FIXED_INFO*>(buf.data()), &size);
  }
  if (r != ERROR_SUCCESS) return std::string();
  return reinterpret_cast<FIXED_INFO*>(buf.data())->DnsServerList.IpAddress.String;
}

}  // namespace platform
