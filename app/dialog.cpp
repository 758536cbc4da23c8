// What the dialog does the same on both front ends: its default handlers.
#include "app/dialog.h"

bool CDialog::OnWindowMessage(unsigned, std::uintptr_t, std::intptr_t, std::intptr_t*) { return false; }

bool CDialog::OnInitDialog() {
  CDataExchange dx(this);
  DoDataExchange(&dx);
  return true;
}

void CDialog::DoDataExchange(CDataExchange*) {}
void CDialog::OnOK() { EndDialog(IDOK); }
void CDialog::OnCancel() { EndDialog(IDCANCEL); }
