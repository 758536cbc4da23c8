#include "platform/shared_stream.h"

#include "platform/posix/sys_path.h"

namespace platform {

// No locks are taken, so others may read and write meanwhile.
std::FILE* OpenSharedReadStream(const std::string& gbkPath) { return std::fopen(SysPath(gbkPath).c_str(), "rb"); }

}  // namespace platform
