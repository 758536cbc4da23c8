// nolkpatch.exe: the Windows program.
#include <windows.h>

#include "app/debug_help.h"
#include "app/nolkpatch_app.h"
#include "platform/message_box.h"
#include "platform/program_info.h"

CnolkpatchApp theApp;
// Last of the static initialisers: the program does not start without its debug-help library.
static void* const* const g_debugHelp = LoadDebugHelp();

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  (void)g_debugHelp;
  platform::SetAppName(platform::ProgramBaseName());
  return theApp.Run();
}
