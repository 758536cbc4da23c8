// What the statistics report says about the machine: its own IPv4 address and its first DNS server.
#pragma once
#include <string>

namespace platform {

// Windows: gethostname and gethostbyname, the first address in dotted form. Elsewhere the first
// IPv4 address of an interface that is up and not the loopback one (no name lookup is made).
// Empty when none is found.
std::string LocalHostAddress();
// Windows: the first entry of GetNetworkParams' DNS server list. Elsewhere the first "nameserver"
// line of /etc/resolv.conf. Empty when none can be read.
std::string FirstDnsServer();

}  // namespace platform
