// What the terminal does not draw: no brush, no icon, no background.
#include "app/nolkpatch_dlg.h"
#include "app/resource.h"

void CnolkpatchDlg::PrepareDrawing() {}

bool CnolkpatchDlg::OnSystemMessage(unsigned, std::uintptr_t, std::intptr_t, std::intptr_t*) { return false; }

std::string LoadAppString(unsigned id) { return BuiltInAppString(id); }
