#include <share.h>
#include <stdio.h>

#include "platform/shared_stream.h"
#include "platform/win32/wide_path.h"

namespace platform {

std::FILE* OpenSharedReadStream(const std::string& gbkPath) { return _wfsopen(WidePath(gbkPath).c_str(), L"rb", _SH_DENYNO); }

}  // namespace platform
