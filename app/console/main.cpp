// nolkpatch on a terminal: the same run, with the window drawn on standard error.
#include <csignal>

#include "app/console/console_message_box.h"
#include "app/debug_help.h"
#include "app/nolkpatch_app.h"
#include "platform/message_box.h"
#include "platform/program_info.h"

CnolkpatchApp theApp;
// Last of the static initialisers: the program does not start without its debug-help library.
static void* const* const g_debugHelp = LoadDebugHelp();

namespace {

extern "C" void OnInterrupt(int) { RequestConsoleClose(); }

}  // namespace

int main(int argc, char** argv) {
  (void)g_debugHelp;
  platform::SetCommandLineArguments(argc, argv);
  platform::SetAppName(platform::ProgramBaseName());
  platform::SetMessageBoxHandler(ConsoleMessageBox);
  std::signal(SIGINT, OnInterrupt);
  return theApp.Run();
}
