#include "platform/win32/wide_path.h"

#include <windows.h>

namespace platform {
namespace {

// Below this, every call takes the path as it is: CreateDirectory's limit is the lowest.
const std::size_t kShortPath = 248;

std::wstring Widen(const std::string& s) {
  if (s.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
  return w;
}

}  // namespace

std::wstring WidePath(const std::string& gbkPath) {
  std::wstring w = Widen(gbkPath);
  if (w.compare(0, 4, L"\\\\?\\") == 0 || w.compare(0, 4, L"\\\\.\\") == 0) return w;
  // The full form resolves "..", "." and "/" as the ANSI calls do; the \\?\ form would not.
  DWORD n = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
  if (n == 0) return w;
  std::wstring full(n, L'\0');
  DWORD m = GetFullPathNameW(w.c_str(), n, &full[0], nullptr);
  if (m == 0 || m >= n) return w;
  full.resize(m);
  if (full.size() < kShortPath) return w;
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

std::string NarrowName(const wchar_t* name) {
  int n = WideCharToMultiByte(CP_ACP, 0, name, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string s(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, name, -1, &s[0], n, nullptr, nullptr);
  s.resize(static_cast<std::size_t>(n - 1));
  return s;
}

}  // namespace platform
