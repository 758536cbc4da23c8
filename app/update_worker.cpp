#include "app/update_worker.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <set>
#include <vector>

#include "app/nolkpatch_dlg.h"
#include "app/window_messages.h"
#include "platform/file_system.h"
#include "platform/http_download.h"
#include "platform/message_box.h"
#include "update/install_dirs.h"
#include "update/package_check.h"
#include "package/package_fetch.h"
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

// What the packages to fetch amount to, and the window's download row while they come.
class FetchProgress {
 public:
  explicit FetchProgress(CnolkpatchDlg* window) : window_(window) {}

  // Which entries need a transfer (missing, or present with another digest), and the total size the
  // servers give for them, posted with WM_UPDATE_SIZE when every size is known. False on a close.
  bool Plan(std::vector<bool>* needs) {
    PostStatusText(window_, "正在检查已有的更新包...");
    platform::MakeDir(DownloadDir);
    std::set<std::string> counted;
    std::int64_t total = 0;
    bool known = true;
    for (const PackageEntry& entry : UpdateList) {
      const std::string name = PackageFileName(entry.url);
      const bool need = !name.empty() && !PackageIsCurrent(DownloadDir + "/" + name, entry.md5, &CancelRequested);
      if (CancelRequested) return false;
      needs->push_back(need);
      sizes_.push_back(-1);
      // One server that does not tell a size leaves the total unknown: no more time spent asking.
      if (!need || !known) continue;
      platform::DownloadRequest head;
      head.url = entry.url;
      head.agent = "nolkpatch";
      head.stop = &CancelRequested;
      sizes_.back() = platform::HttpContentLength(head);
      if (CancelRequested) return false;
      if (!counted.insert(name).second) continue;
      if (sizes_.back() < 0) {
        known = false;
        continue;
      }
      const std::int64_t have = static_cast<std::int64_t>(platform::FileSizeOf(DownloadDir + "/" + name + kPartSuffix));
      total += have <= sizes_.back() ? sizes_.back() - have : sizes_.back();
    }
    if (known && total > 0) {
      total_ = total;
      std::int64_t* payload = NewBytesPayload(total);
      if (!window_->PostMessage(WM_UPDATE_SIZE, 0, reinterpret_cast<std::intptr_t>(payload)))
        FreeMessagePayloads(WM_UPDATE_SIZE, 0, reinterpret_cast<std::intptr_t>(payload));
    }
    return true;
  }

  void StartPackage(std::size_t index, const std::string& name) {
    name_ = name;
    packageSize_ = sizes_[index];
    packageDone_ = 0;
    lastPercent_ = -1;
    Post(true);
  }

  void Add(std::int64_t bytes) {
    done_ += bytes;
    packageDone_ += bytes;
    Post(false);
  }

 private:
  // The percent of the whole when its size is known, else of this package; at most a few posts a
  // second, so the window's queue never fills with them.
  void Post(bool first) {
    double percent = -1;
    if (total_ > 0)
      percent = 100.0 * static_cast<double>(done_) / static_cast<double>(total_);
    else if (packageSize_ > 0)
      percent = 100.0 * static_cast<double>(packageDone_) / static_cast<double>(packageSize_);
    if (percent > 100) percent = 100;
    const auto now = std::chrono::steady_clock::now();
    const int whole = static_cast<int>(percent);
    if (!first && whole == lastPercent_ && now - lastPost_ < std::chrono::milliseconds(500)) return;
    if (!first && percent < 0 && now - lastPost_ < std::chrono::milliseconds(500)) return;
    lastPercent_ = whole;
    lastPost_ = now;
    double* p = percent >= 0 ? NewPercentPayload(percent) : nullptr;
    std::string* text = NewTextPayload("正在下载 " + name_);
    if (!window_->PostMessage(WM_UPDATE_PROGRESS, reinterpret_cast<std::uintptr_t>(p),
                              reinterpret_cast<std::intptr_t>(text)))
      FreeMessagePayloads(WM_UPDATE_PROGRESS, reinterpret_cast<std::uintptr_t>(p),
                          reinterpret_cast<std::intptr_t>(text));
  }

  CnolkpatchDlg* window_;
  std::vector<std::int64_t> sizes_;  // by entry; -1 unknown or not fetched
  std::int64_t total_ = 0, done_ = 0;
  std::string name_;
  std::int64_t packageSize_ = -1, packageDone_ = 0;
  int lastPercent_ = -1;
  std::chrono::steady_clock::time_point lastPost_;
};

}  // namespace

unsigned RunUpdateWorker(CnolkpatchDlg* window, PackageVerifier verify) {
  // Opt-in per installation: off, the run is the one without transfers.
  const bool fetch = ReadFetchPackagesSetting();
  // A close asked for while the list is fetched ends the request under way and tries no other URL.
  FetchUpdateList(&CancelRequested);
  if (CancelRequested) return StopOnCancel(window);
  if (UpdateList.empty()) {
    window->PostMessage(WM_UPDATE_END, 0, 0);
    return 0;
  }
  FetchProgress progress(window);
  std::vector<bool> needs;
  if (fetch && !progress.Plan(&needs)) return StopOnCancel(window);
  for (std::size_t index = 0; index < UpdateList.size(); ++index) {
    const PackageEntry& entry = UpdateList[index];
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
    // Fetched before its check; the check then runs as without fetching. A package listed twice
    // was fetched the first time.
    const bool transfer = fetch && needs[index] && !PackageIsCurrent(path, entry.md5, &CancelRequested);
    if (CancelRequested) return StopOnCancel(window);
    if (transfer) {
      PostPackageLabel(window, name);
      window->NotePackageStart();
      progress.StartPackage(index, name);
      FetchSettings settings;
      settings.stop = &CancelRequested;
      settings.onBytes = [&progress](std::int64_t n) { progress.Add(n); };
      // A failed fetch leaves the package missing or wrong: its check below shows the box.
      if (FetchPackage(entry.url, DownloadDir, name, entry.md5, settings) == FetchResult::kStopped || CancelRequested)
        return StopOnCancel(window);
    }
    PostStatusText(window, "开始验证 " + name);
    PostPackageLabel(window, name);
    if (!transfer) window->NotePackageStart();
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
