// A Windows process for the Wine whole-run tests:
//   lock PATH READY RELEASE   open PATH sharing with nobody, create READY, hold it until RELEASE exists
//   waitbox TIMEOUTMS OUT     wait for a message box and write its text (hex GBK) without answering it
//   setstring EXE ID TEXT...  replace strings of EXE's string table (Chinese, simplified), as a patched
//                             resource would
//   runin DIR EXE [ARGS]      start EXE with DIR as its current folder; exits with its exit code
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <map>
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
  if (cmd == "setstring" && argc >= 5 && argc % 2 == 1) {
    std::map<unsigned, std::wstring> strings;
    for (int i = 3; i + 1 < argc; i += 2) {
      unsigned id = static_cast<unsigned>(std::atoi(argv[i]));
      wchar_t wide[1024] = {0};
      MultiByteToWideChar(CP_ACP, 0, argv[i + 1], -1, wide, 1024);
      strings[id] = wide;
    }
    // A block holds 16 strings; the untouched ones keep their texts.
    std::map<unsigned, std::wstring> blocks;
    HMODULE exe = LoadLibraryExA(argv[2], nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!exe) return 3;
    for (const auto& s : strings) {
      unsigned block = s.first / 16 + 1;
      if (blocks.count(block)) continue;
      std::wstring data;
      for (unsigned id = (block - 1) * 16; id < block * 16; ++id) {
        wchar_t text[1024] = {0};
        int n = LoadStringW(exe, id, text, 1024);
        std::wstring t = strings.count(id) ? strings[id] : std::wstring(text, n > 0 ? n : 0);
        data += static_cast<wchar_t>(t.size());
        data += t;
      }
      blocks[block] = data;
    }
    FreeLibrary(exe);
    HANDLE update = BeginUpdateResourceA(argv[2], FALSE);
    if (!update) return 4;
    for (auto& b : blocks)
      if (!UpdateResourceW(update, reinterpret_cast<LPCWSTR>(RT_STRING), MAKEINTRESOURCEW(b.first),
                           MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED), &b.second[0],
                           static_cast<DWORD>(b.second.size() * sizeof(wchar_t))))
        return 5;
    return EndUpdateResourceA(update, FALSE) ? 0 : 6;
  }
  if (cmd == "runin" && argc >= 4) {
    if (!SetCurrentDirectoryA(argv[2])) return 100;
    std::string line = std::string("\"") + argv[3] + "\"";
    for (int i = 4; i < argc; ++i) line += std::string(" ") + argv[i];
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(argv[3], &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return 101;
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 102;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<int>(code);
  }
  return 2;
}
