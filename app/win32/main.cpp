// nolkpatch.exe: the Windows program.
#include <windows.h>

#include "app/debug_help.h"
#include "app/nolkpatch_app.h"
#include "platform/message_box.h"
#include "platform/program_info.h"
#include "platform/running_program.h"
#include "update/name_rules.h"

CnolkpatchApp theApp;
// Last of the static initialisers: the program does not start without its debug-help library.
static void* const* const g_debugHelp = LoadDebugHelp();

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  (void)g_debugHelp;
  platform::SetAppName(platform::ProgramBaseName());
  const int code = theApp.Run();
  // The new program waits under its pending name: it takes the program's name once this process ends.
  platform::StartPendingProgram(kPendingSuffix);
  return code;
}
