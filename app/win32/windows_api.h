// <windows.h> for the window code: its A/W name macros would rename our own members of the same
// names (SetWindowText, GetWindowText, PostMessage, MessageBox), so the A functions are called by
// their own names here.
#pragma once
#include <windows.h>
#include <commctrl.h>

#undef SetWindowText
#undef GetWindowText
#undef PostMessage
#undef MessageBox
