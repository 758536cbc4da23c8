// The guard that lets one instance of the program run at a time. It is taken in one atomic step,
// so two instances started at the same moment cannot both pass it. Windows: a named file mapping
// (ERROR_ALREADY_EXISTS tells that another instance holds it). Elsewhere: a lock on a file named
// after the guard in the temporary folder ($TMPDIR, else /tmp), which the system drops when the
// holding process dies.
#pragma once
#include <string>

namespace platform {

// Returns the guard's handle, or null when it could not be made (the run then goes on without a guard).
// *alreadyRunning tells whether another instance holds it; the handle is returned in that case too.
void* TakeSingleInstanceGuard(const std::string& name, bool* alreadyRunning);
void ReleaseSingleInstanceGuard(void* guard);

}  // namespace platform
