#include "app/apply_phase.h"

#include "app/nolkpatch_dlg.h"
#include "app/window_messages.h"

// Placeholder until the apply phase lands: it applies nothing and ends the run.
std::intptr_t RunApplyPhase(CnolkpatchDlg& window) {
  window.ApplyStarted = true;
  window.PostMessage(WM_UPDATE_END, 0, 0);
  return 1;
}
