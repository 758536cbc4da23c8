// The apply phase: after the worker's hand-over (WM_UPDATE_APPLY) the window writes every package of
// UpdateList into the installation, on its own thread.
#pragma once
#include <cstdint>

class CnolkpatchDlg;

// The handler's work. Returns 1 when every package was applied, 0 when the phase stopped on a failure.
// Every ordinary outcome posts WM_UPDATE_END to the window.
std::intptr_t RunApplyPhase(CnolkpatchDlg& window);
