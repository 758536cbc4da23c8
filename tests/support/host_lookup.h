// What the statistics report's clip should be, found without the program's code: the first address
// of the lookup of the machine's own name, "127.0.0.1" when there is none.
#pragma once
#include <string>

namespace testsupport {

// Linux: Python's socket.gethostbyname_ex of socket.gethostname(). Windows: ws2_32's gethostname
// and gethostbyname.
std::string HostNameAddress();

}  // namespace testsupport
