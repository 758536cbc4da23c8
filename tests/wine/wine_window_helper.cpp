// The Win32 side of the Wine tests: finds nolkpatch's windows and message boxes, reads them and
// answers them, as a user would. Texts travel as hexadecimal GBK bytes so no code page is in the way.
//   window TITLEHEX TIMEOUTMS OUT   wait for the top-level window (and up to 5 s for it to be
//                                   minimised); write "iconic visible"
//   restore TITLEHEX OUT            restore it and write each control: id x y w h TEXTHEX
//   box BUTTON TIMEOUTMS OUT        wait for a message box; write CAPTIONHEX TEXTHEX STYLEBITS; press BUTTON
//   hittest TITLEHEX OUT            write the window's hit-test answer for a point on its background
//   close TITLEHEX                  send the close command
//   responsive TITLEHEX TIMEOUTMS UNTIL OUT  wait for the window and its first answer, then ask it
//                                   every 50 ms with SendMessageTimeout (500 ms) until the file
//                                   UNTIL exists or the window is gone; write
//                                   "asked slowestms unanswered" and at:ms of each slow answer
//   styles TITLEHEX OUT             write each control: id style exstyle (hexadecimal)
//   closewait TITLEHEX TIMEOUTMS OUT  send the close command, wait until the window is hidden or
//                                   gone; write the ms it took
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string Hex(const std::string& s) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out.empty() ? "-" : out;
}

std::string Unhex(const char* h) {
  std::string out;
  for (; h[0] && h[1]; h += 2) out += static_cast<char>(std::strtol(std::string(h, 2).c_str(), nullptr, 16));
  return out;
}

std::string Text(HWND w) {
  char buf[4096] = {0};
  int n = GetWindowTextA(w, buf, sizeof buf);
  return std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
}

struct Search {
  std::string title;
  bool wantBox;
  HWND found;
};

BOOL CALLBACK Visit(HWND w, LPARAM p) {
  Search* s = reinterpret_cast<Search*>(p);
  char cls[64] = {0};
  GetClassNameA(w, cls, sizeof cls);
  if (s->wantBox) {
    // A message box: a dialog with the box's text control (id 0xFFFF).
    if (std::string(cls) == "#32770" && IsWindowVisible(w) && GetDlgItem(w, 0xFFFF)) {
      s->found = w;
      return FALSE;
    }
  } else if (Text(w) == s->title) {
    s->found = w;
    return FALSE;
  }
  return TRUE;
}

HWND Find(const std::string& title, bool box, int timeoutMs) {
  for (int waited = 0;; waited += 100) {
    Search s{title, box, nullptr};
    EnumWindows(Visit, reinterpret_cast<LPARAM>(&s));
    if (s.found || waited >= timeoutMs) return s.found;
    Sleep(100);
  }
}

int Write(const char* path, const std::string& text) {
  FILE* f = std::fopen(path, "wb");
  if (!f) return 2;
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
  return 0;
}

BOOL CALLBACK Child(HWND w, LPARAM p) {
  std::string* out = reinterpret_cast<std::string*>(p);
  RECT rc;
  GetWindowRect(w, &rc);
  char line[128];
  std::snprintf(line, sizeof line, "%d %ld %ld %ld %ld ", GetDlgCtrlID(w), rc.left, rc.top, rc.right - rc.left,
                rc.bottom - rc.top);
  *out += line + Hex(Text(w)) + "\n";
  return TRUE;
}

BOOL CALLBACK ChildStyle(HWND w, LPARAM p) {
  std::string* out = reinterpret_cast<std::string*>(p);
  char line[64];
  std::snprintf(line, sizeof line, "%d %08lx %08lx\n", GetDlgCtrlID(w),
                static_cast<unsigned long>(GetWindowLongPtrA(w, GWL_STYLE)),
                static_cast<unsigned long>(GetWindowLongPtrA(w, GWL_EXSTYLE)));
  *out += line;
  return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  std::string cmd = argv[1];
  if (cmd == "window" && argc == 5) {
    int timeout = std::atoi(argv[3]);
    HWND w = Find(Unhex(argv[2]), false, timeout);
    if (!w) return 1;
    // The window is given a few seconds to settle into its minimised state.
    for (int waited = 0; !IsIconic(w) && waited < 5000; waited += 100) Sleep(100);
    char line[64];
    std::snprintf(line, sizeof line, "%d %d\n", IsIconic(w) ? 1 : 0, IsWindowVisible(w) ? 1 : 0);
    return Write(argv[4], line);
  }
  if (cmd == "responsive" && argc == 6) {
    HWND w = Find(Unhex(argv[2]), false, std::atoi(argv[3]));
    if (!w) return 1;
    const std::string until = argv[4];
    DWORD_PTR first = 0;
    while (IsWindow(w) && !SendMessageTimeoutA(w, WM_NULL, 0, 0, SMTO_NORMAL, 500, &first)) {
    }
    int asked = 0, unanswered = 0;
    DWORD slowest = 0;
    const DWORD start = GetTickCount();
    std::string slow;
    while (IsWindow(w) && GetFileAttributesA(until.c_str()) == INVALID_FILE_ATTRIBUTES) {
      DWORD_PTR result = 0;
      const DWORD t0 = GetTickCount();
      const LRESULT ok = SendMessageTimeoutA(w, WM_NULL, 0, 0, SMTO_NORMAL, 500, &result);
      const DWORD took = GetTickCount() - t0;
      if (!IsWindow(w)) break;
      ++asked;
      if (!ok) ++unanswered;
      if (took > slowest) slowest = took;
      if (took >= 200) slow += " " + std::to_string(t0 - start) + ":" + std::to_string(took);
      Sleep(50);
    }
    char line[64];
    std::snprintf(line, sizeof line, "%d %lu %d", asked, static_cast<unsigned long>(slowest), unanswered);
    return Write(argv[5], line + slow + "\n");
  }
  if (cmd == "restore" && argc == 4) {
    HWND w = Find(Unhex(argv[2]), false, 5000);
    if (!w) return 1;
    // Under Wine the program minimises once more half a second after it starts; a restore that came
    // first is undone, so restore until it holds.
    RECT rc;
    for (int tries = 0; tries < 5; ++tries) {
      ShowWindow(w, SW_RESTORE);
      SetForegroundWindow(w);
      Sleep(1000);
      GetWindowRect(w, &rc);
      if (!IsIconic(w)) break;
    }
    char line[128];
    std::snprintf(line, sizeof line, "0 %ld %ld %ld %ld %s\n", rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top,
                  Hex(Text(w)).c_str());
    std::string out = line;
    EnumChildWindows(w, Child, reinterpret_cast<LPARAM>(&out));
    return Write(argv[3], out);
  }
  if (cmd == "box" && argc == 5) {
    HWND w = Find("", true, std::atoi(argv[3]));
    if (!w) return 1;
    Sleep(200);
    LONG_PTR ex = GetWindowLongPtrA(w, GWL_EXSTYLE);
    char exText[32];
    std::snprintf(exText, sizeof exText, "%08lx", static_cast<unsigned long>(ex));
    std::string out = Hex(Text(w)) + " " + Hex(Text(GetDlgItem(w, 0xFFFF))) + " " +
                      ((ex & WS_EX_TOPMOST) ? "topmost" : "normal") + " " + exText + "\n";
    int rc = Write(argv[4], out);
    int button = std::string(argv[2]) == "cancel" ? IDCANCEL : std::string(argv[2]) == "retry" ? IDRETRY : IDOK;
    PostMessageA(w, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(w, button)));
    return rc;
  }
  if (cmd == "hittest" && argc == 4) {
    // What the window answers for a press on its background, near the bottom right corner.
    HWND w = Find(Unhex(argv[2]), false, 5000);
    if (!w) return 1;
    RECT rc;
    GetWindowRect(w, &rc);
    LRESULT hit = SendMessageA(w, WM_NCHITTEST, 0, MAKELPARAM(rc.right - 4, rc.bottom - 4));
    char line[32];
    std::snprintf(line, sizeof line, "%ld\n", static_cast<long>(hit));
    return Write(argv[3], line);
  }
  if (cmd == "minimize") {
    HWND w = Find(Unhex(argv[2]), false, 5000);
    if (!w) return 1;
    ShowWindow(w, SW_MINIMIZE);
    Sleep(500);
    return IsIconic(w) ? 0 : 3;
  }
  if (cmd == "styles" && argc == 4) {
    HWND w = Find(Unhex(argv[2]), false, 30000);
    if (!w) return 1;
    std::string out;
    EnumChildWindows(w, ChildStyle, reinterpret_cast<LPARAM>(&out));
    return Write(argv[3], out);
  }
  if (cmd == "closewait" && argc == 5) {
    HWND w = Find(Unhex(argv[2]), false, 5000);
    if (!w) return 1;
    DWORD t0 = GetTickCount();
    PostMessageA(w, WM_CLOSE, 0, 0);
    int timeout = std::atoi(argv[3]);
    while (IsWindow(w) && IsWindowVisible(w) && static_cast<int>(GetTickCount() - t0) < timeout) Sleep(10);
    char line[32];
    std::snprintf(line, sizeof line, "%lu\n", static_cast<unsigned long>(GetTickCount() - t0));
    return Write(argv[4], line);
  }
  if (cmd == "close") {
    HWND w = Find(Unhex(argv[2]), false, 5000);
    if (!w) return 1;
    PostMessageA(w, WM_CLOSE, 0, 0);
    return 0;
  }
  return 2;
}
