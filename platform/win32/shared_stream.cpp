#include <share.h>
#include <stdio.h>

#include "platform/shared_stream.h"

namespace platform {

std::FILE* OpenSharedReadStream(const std::string& gbkPath) { return _fsopen(gbkPath.c_str(), "rb", _SH_DENYNO); }

}  // namespace platform
