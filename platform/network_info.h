// What the statistics report says about the machine: its own IPv4 address and its first DNS server.
#pragma once
#include <string>

namespace platform {

// The first address of the lookup of the machine's own name (gethostname, then gethostbyname) in
// dotted form, on every system. Empty when the name or its lookup fails.
std::string LocalHostAddress();
// Windows: the first entry of GetNetworkParams' DNS server list. Elsewhere the first "nameserver"
// line of /etc/resolv.conf. Empty when none can be read.
std::string FirstDnsServer();

}  // namespace platform
