#include "app/update_worker.h"

#include <cstdio>
#include <exception>

#include "app/nolkpatch_dlg.h"
#include "app/window_messages.h"
#include "platform/file_system.h"
#include "platform/message_box.h"
#include "update/install_dirs.h"
#include "update/package_check.h"
#include "update/update_list.h"

std::atomic<bool> CancelRequested{false};
std::mutex UpdateLock;

bool PostText(CnolkpatchDlg* window, unsigned message, unsigned wParam, const std::string& text) {
  std::string* copy = NewTextPayload(text);
  if (window->PostMessage(message, wParam, reinterpret_cast<std::intptr_t>(copy))) return true;
  FreeTextPayload(reinterpret_cast<std::intptr_t>(copy));
  return false;
}

void PostStatusText(CnolkpatchDlg* window, const std::string& text) { PostText(window, WM_UPDATE_TEXT, 0, text); }

void PostPackageLabel(CnolkpatchDlg* window, const std::string& text) { PostText(window, WM_UPDATE_TEXT, 1, text); }

namespace {

unsigned StopOnCancel(CnolkpatchDlg* window) {
  PostStatusText(window, "取消中...");
  return 1;
}

// An exception raised while a package is checked (the digester's, when the package vanished between
// its open and its digest) is a failed check, not the end of the process.
bool CheckPackage(PackageVerifier verify, const std::string& path, const std::string& md5) {
  try {
    return verify(path, md5, &CancelRequested);
  } catch (const std::exception&) {
    return false;
  } catch (...) {
    return false;
  }
}

}  // namespace

unsigned RunUpdateWorker(CnolkpatchDlg* window, PackageVerifier verify) {
  // A close asked for while the list is fetched ends the request under way and tries no other URL.
  FetchUpdateList(&CancelRequested);
  if (CancelRequested) return StopOnCancel(window);
  if (UpdateList.empty()) {
    window->PostMessage(WM_UPDATE_END, 0, 0);
    return 0;
  }
  for (const PackageEntry& entry : UpdateList) {
    {
      std::lock_guard<std::mutex> lock(UpdateLock);
      if (CancelRequested) return StopOnCancel(window);
    }
    platform::MakeDir(DownloadDir);
    std::string name = PackageFileName(entry.url);
    if (name.empty()) {
      window->MessageBox("url错误", "", platform::kMbOk);
      window->PostMessage(WM_UPDATE_END, 0, 0);
      return 1;
    }
    std::string path = DownloadDir + "/" + name;
    PostStatusText(window, "开始验证 " + name);
    PostPackageLabel(window, name);
    window->NotePackageStart();
    bool ok = CheckPackage(verify, path, entry.md5);
    if (CancelRequested) return StopOnCancel(window);
    window->NotePackageEnd();
    if (ok) {
      window->SendDownloadReport(true);
      continue;
    }
    if (!CancelRequested) {
      window->MessageBox("验证[" + name + "]过程中发生错误, 放弃继续更新。", "提示",
                         platform::kMbOk | platform::kMbTopmost);
    }
    window->SendDownloadReport(false);
    window->PostMessage(WM_UPDATE_END, 0, 0);
    return 1;
  }
  window->PostMessage(WM_UPDATE_APPLY, 0, 0);
  return 0;
}

unsigned UpdateThreadProc(void* arg) { return RunUpdateWorker(static_cast<CnolkpatchDlg*>(arg), VerifyPackageFile); }
