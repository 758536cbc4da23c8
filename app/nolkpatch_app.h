// The application object: fixes the three folders, opens the run log, records the partner code,
// makes sure only one instance runs, starts the sockets, runs the main window, tidies up.
#pragma once
#include <string>

#include "app/win_app.h"

// The process's exit codes.
enum : int {
  kExitUpToDate = 0,      // updated, or nothing to update
  kExitRunStopped = 1,    // a package failed, the user cancelled, the window was closed
  kExitNoUpdateList = 2,  // the installed version was unreadable or the list could not be fetched
  kExitNotStarted = 3,    // another instance, sockets, the debug-help library, no root folder
};

class CnolkpatchApp : public CWinApp {
 public:
  CnolkpatchApp();
  ~CnolkpatchApp() override;
  bool InitInstance() override;
  int ExitInstance() override;

  // One flushed line in the run log (printf style); nothing without a log.
  static void WriteRunLog(const char* fmt, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 1, 2)))
#endif
      ;

  // The named guard whose existence shows that an instance runs; held until ExitInstance.
  void* singleInstanceMap = nullptr;
};

// The partner-code file below RootDir.
const char* const kPartnerCodeFile = "var/gac/KirvanCode";
