#include "app/nolkpatch_app.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "app/nolkpatch_dlg.h"
#include "app/partner_code.h"
#include "app/resource.h"
#include "package/obsolete_files.h"
#include "platform/codepage.h"
#include "platform/current_folder.h"
#include "platform/file_system.h"
#include "platform/message_box.h"
#include "platform/program_info.h"
#include "platform/running_program.h"
#include "platform/single_instance.h"
#include "platform/socket_startup.h"
#include "platform/stdio_file.h"
#include "platform/temp_file.h"
#include "update/install_dirs.h"
#include "update/name_rules.h"
#include "update/run_log.h"
#include "update/strings.h"

int CWinApp::Run() {
  InitInstance();
  ExitInstance();
  return exitCode_;
}

CnolkpatchApp::CnolkpatchApp() = default;
CnolkpatchApp::~CnolkpatchApp() = default;

void CnolkpatchApp::WriteRunLog(const char* fmt, ...) {
  char buf[1024] = {0};
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(buf, sizeof buf - 1, fmt, args);
  va_end(args);
  ::WriteRunLog("%s", buf);
}

namespace {

// The code the command line carries with the switch, by the rule of the platform's command line.
bool PartnerCode(std::string* code) {
#ifdef _WIN32
  return PartnerCodeFromRawCommandLine(platform::CommandLineTail(), code);
#else
  return PartnerCodeFromArguments(platform::CommandLineArguments(), code);
#endif
}

const char kStartFolderNotGbk[] =
    "更新程序所在文件夹的路径含有简体中文系统无法表示的字符，无法进行更新。\n"
    "请把游戏安装到路径只含中文、英文字母和数字的文件夹中。";
const char kTempFolderNotGbk[] =
    "临时文件夹的路径含有简体中文系统无法表示的字符，无法进行更新。\n"
    "请把环境变量 TMP、TEMP（Linux 上为 TMPDIR）设为路径只含中文、英文字母和数字的文件夹。";

bool StopAtStart(const char* text) {
  platform::AppMessageBox(text, platform::kMbOk | platform::kMbIconError);
  return false;
}

// An update of the program's own files moved the files it ran from aside; nothing runs from them now.
// A folder of that name would stand in the way of every later self-update.
void RemoveSetAsideFiles() {
  for (const std::string& file : platform::RunningProgramFiles()) {
    platform::SetFileAttributesNormal(file + kSetAsideSuffix);
    if (platform::GetPathKind(file + kSetAsideSuffix) == platform::PathKind::kDirectory)
      DeletePathTree(file + kSetAsideSuffix);
    else
      platform::DeleteFile(file + kSetAsideSuffix);
  }
}

}  // namespace

bool CnolkpatchApp::InitInstance() {
  CWinApp::InitInstance();
  exitCode_ = kExitNotStarted;

  const std::string start = platform::CurrentFolder(260);
  if (start.empty()) return false;
  // A folder that no GBK text names cannot be found again: the run would go on in the wrong one.
  if (!platform::CurrentFolderHasGbkName()) return StopAtStart(kStartFolderNotGbk);
  if (!platform::TempFolderHasGbkName()) return StopAtStart(kTempFolderNotGbk);
  // The update step's texts come from the string table, so a patched resource changes them.
  UseUpdateStrings(LoadAppString(IDS_DEFAULT_UPDATE_URL), LoadAppString(IDS_SETTINGS_FILE),
                   LoadAppString(IDS_UPDATE_URL_KEY), LoadAppString(IDS_DOWNLOAD_SUBDIR));
  UseListKeyString(LoadAppString(IDS_LIST_KEY));
  platform::ChangeCurrentFolder("..");
  platform::ChangeCurrentFolder("..");
  std::string root = platform::CurrentFolder(260);
  if (root.empty()) return false;
  if (root.back() != '\\' && root.back() != '/') root += '\\';
  for (char& c : root)
    if (c == '\\') c = '/';
  SetInstallDirs(start, root);
  if (!platform::ChangeCurrentFolder(start)) return StopAtStart(kStartFolderNotGbk);

  // The guard comes before the log, so a second instance never empties the running one's log or
  // touches its partner-code file. Taking it is one step: two instances started together cannot
  // both pass.
  bool alreadyRunning = false;
  singleInstanceMap = platform::TakeSingleInstanceGuard(LoadAppString(IDS_INSTANCE_MAPPING), &alreadyRunning);
  if (alreadyRunning) {
    platform::AppMessageBox(LoadAppString(IDS_ALREADY_RUNNING), platform::kMbOk);
    return false;
  }

  RemoveSetAsideFiles();
  OpenRunLog("nolk.log");
  WriteRunLog("命令行参数:%s", platform::CommandLineTail().c_str());

  const std::string partnerFile = RootDir + kPartnerCodeFile;
  // A read-only copy would keep a stale code: the attribute goes first, on both builds.
  platform::SetFileAttributesNormal(partnerFile);
  platform::DeleteFile(partnerFile);
  std::string code;
  if (PartnerCode(&code)) {
    if (std::FILE* f = platform::OpenStdFile(partnerFile, "w")) {
      std::fwrite(code.data(), 1, code.size(), f);
      std::fclose(f);
    }
  }

  if (!platform::StartSockets()) {
    platform::AppMessageBox(LoadAppString(IDS_SOCKETS_INIT_FAILED), platform::kMbOk);
    CloseRunLog();
    return false;
  }

  CnolkpatchDlg dlg;
  m_pMainWnd = &dlg;
  std::intptr_t result = dlg.DoModal();
  m_pMainWnd = nullptr;
  CloseRunLog();
  if (result == -1) return false;
  exitCode_ = dlg.RunSucceeded() ? kExitUpToDate : kExitRunStopped;
  return result == IDOK;
}

int CnolkpatchApp::ExitInstance() {
  platform::ReleaseSingleInstanceGuard(singleInstanceMap);
  singleInstanceMap = nullptr;
  return CWinApp::ExitInstance();
}
