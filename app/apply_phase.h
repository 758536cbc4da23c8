// The apply phase: after the worker's hand-over (WM_UPDATE_APPLY) the window checks every package of
// UpdateList once more and writes it into the installation, on its own thread.
#pragma once
#include <cstdint>
#include <string>

#include "update/version.h"

class CnolkpatchDlg;

// The handler's work. Returns 1 when every package was applied, 0 when the phase stopped on a failure.
// Every outcome posts WM_UPDATE_END to the window.
std::intptr_t RunApplyPhase(CnolkpatchDlg& window);

// Applies one package from downloadDir; true when its body ended normally.
bool ApplyUpdatePackage(CnolkpatchDlg& window, const std::string& packageName, VersionCode version,
                        const std::string& downloadDir, const std::string& rootDir);
