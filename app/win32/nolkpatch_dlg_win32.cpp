// What only the real window does: icons, the stretched background, transparent labels, dragging
// from anywhere, and the icon drawn while minimised.
#include "app/win32/windows_api.h"

#include "app/nolkpatch_dlg.h"
#include "app/resource.h"

void CnolkpatchDlg::PrepareDrawing() {
  HWND hwnd = static_cast<HWND>(GetSafeHwnd());
  if (!iconHandle) iconHandle = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME));
  labelBrush = GetStockObject(NULL_BRUSH);
  SendMessageA(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(iconHandle));
  SendMessageA(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(iconHandle));
}

bool CnolkpatchDlg::OnSystemMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam,
                                    std::intptr_t* result) {
  HWND hwnd = static_cast<HWND>(GetSafeHwnd());
  switch (message) {
    case WM_PAINT: {
      if (!::IsIconic(hwnd)) return false;
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      SendMessageA(hwnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
      RECT rc;
      GetClientRect(hwnd, &rc);
      int x = (rc.right - rc.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
      int y = (rc.bottom - rc.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
      DrawIcon(dc, x, y, static_cast<HICON>(iconHandle));
      EndPaint(hwnd, &ps);
      *result = 0;
      return true;
    }
    case WM_QUERYDRAGICON:
      *result = reinterpret_cast<std::intptr_t>(iconHandle);
      return true;
    case WM_NCHITTEST:
      *result = HTCAPTION;
      return true;
    case WM_CTLCOLORSTATIC: {
      HDC dc = reinterpret_cast<HDC>(wParam);
      SetBkMode(dc, TRANSPARENT);
      SetTextColor(dc, RGB(0, 0, 0));
      *result = reinterpret_cast<std::intptr_t>(labelBrush);
      return true;
    }
    case WM_ERASEBKGND: {
      // Tried again at every erase until the bitmap loads.
      if (!backgroundBitmap)
        backgroundBitmap = LoadBitmapA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDB_BACKGROUND));
      HDC dc = reinterpret_cast<HDC>(wParam);
      RECT rc;
      GetClientRect(hwnd, &rc);
      if (!backgroundBitmap) {
        FillRect(dc, &rc, GetSysColorBrush(COLOR_BTNFACE));
        *result = 1;
        return true;
      }
      HDC mem = CreateCompatibleDC(dc);
      HGDIOBJ old = SelectObject(mem, backgroundBitmap);
      BITMAP bm;
      GetObjectA(backgroundBitmap, sizeof bm, &bm);
      StretchBlt(dc, 0, 0, rc.right - rc.left, rc.bottom - rc.top, mem, 0, 0, bm.bmWidth, bm.bmHeight, SRCCOPY);
      SelectObject(mem, old);
      DeleteDC(mem);
      *result = 1;
      return true;
    }
    default:
      (void)lParam;
      return false;
  }
}

std::string LoadAppString(unsigned id) {
  char buf[1024] = {0};
  int n = LoadStringA(GetModuleHandleA(nullptr), id, buf, sizeof buf);
  return std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
}
