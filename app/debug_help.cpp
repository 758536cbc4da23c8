#include "app/debug_help.h"

#include <string>

#include "platform/dynamic_library.h"
#include "platform/message_box.h"
#include "platform/process.h"
#include "platform/running_program.h"
#include "update/name_rules.h"

const char* const kDebugHelpNames[kDebugHelpFunctionCount] = {"SymInitialize",
                                                              "SymCleanup",
                                                              "MiniDumpWriteDump",
                                                              "SymLoadModule64",
                                                              "EnumerateLoadedModules64",
                                                              "StackWalk64",
                                                              "SymFunctionTableAccess64",
                                                              "SymGetModuleBase64",
                                                              "SymFromAddr"};

void* DebugHelpTable[kDebugHelpFunctionCount];

namespace {

// Exit code 3: the program did not start.
[[noreturn]] void Refuse(const std::string& text) {
  platform::ShowMessageBox(nullptr, text, "错误", platform::kMbIconError);
  platform::ExitProcessNow(3);
}

}  // namespace

void* const* LoadDebugHelp() {
  for (void*& entry : DebugHelpTable) entry = nullptr;
  // An update of the program's files that a kill or power cut interrupted is finished first, so
  // that the library the check loads is the newest whole one.
  platform::FinishProgramReplacements(kProgramLibrary, kPendingSuffix, kSetAsideSuffix);
  void* library = platform::LoadProgramLibrary(kProgramLibrary);
  if (!library) Refuse("载入nolkdbghelp.dll失败");
  for (int i = 0; i < kDebugHelpFunctionCount; ++i) {
    DebugHelpTable[i] = platform::FindLibrarySymbol(library, kDebugHelpNames[i]);
    if (!DebugHelpTable[i]) Refuse(std::string("载入函数失败:") + kDebugHelpNames[i]);
  }
  return DebugHelpTable;
}
