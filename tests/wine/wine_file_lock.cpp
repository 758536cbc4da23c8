// A Windows process for the Wine whole-run tests:
//   lock PATH READY RELEASE   open PATH sharing with nobody, create READY, hold it until RELEASE exists
//   waitbox TIMEOUTMS OUT     wait for a message box and write its text (hex GBK) without answering it
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

bool Exists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

BOOL CALLBACK FindBox(HWND w, LPARAM p) {
  char cls[64] = {0};
  GetClassNameA(w, cls, sizeof cls);
  if (std::string(cls) == "#32770" && IsWindowVisible(w) && GetDlgItem(w, 0xFFFF)) {
    *reinterpret_cast<HWND*>(p) = w;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string cmd = argc > 1 ? argv[1] : "";
  if (cmd == "lock" && argc == 5) {
    HANDLE h = CreateFileA(argv[2], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 1;
    std::fclose(std::fopen(argv[3], "wb"));
    for (int i = 0; i < 1200 && !Exists(argv[4]); ++i) Sleep(50);
    CloseHandle(h);
    return 0;
  }
  if (cmd == "waitbox" && argc == 4) {
    const int timeout = std::atoi(argv[2]);
    for (int waited = 0; waited <= timeout; waited += 100) {
      HWND box = nullptr;
      EnumWindows(FindBox, reinterpret_cast<LPARAM>(&box));
      if (box) {
        char text[4096] = {0};
        GetWindowTextA(GetDlgItem(box, 0xFFFF), text, sizeof text);
        std::FILE* f = std::fopen(argv[3], "wb");
        if (!f) return 2;
        for (const char* c = text; *c; ++c) std::fprintf(f, "%02x", static_cast<unsigned char>(*c));
        std::fclose(f);
        return 0;
      }
      Sleep(100);
    }
    return 1;
  }
  return 2;
}
