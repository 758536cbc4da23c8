#include "app/apply_phase.h"

#include "app/nolkpatch_dlg.h"
#include "app/window_messages.h"

// Waiting for the apply phase: it takes over the window as the apply phase will, applies nothing,
// and ends the run.
std::intptr_t RunApplyPhase(CnolkpatchDlg& window) {
  window.ApplyStarted = true;
  window.SetLabelText(window.downloadedLabel, "");
  window.downloadProgress.SetPos(100);
  window.SetLabelText(window.statusLabel, "下载数据完毕, 正在进行解压...");
  window.PumpMessages();
  window.PostMessage(WM_UPDATE_END, 0, 0);
  return 1;
}
