#include "platform/codepage.h"

#include <windows.h>

namespace platform {
namespace {

std::string Convert(UINT toCp, UINT fromCp, const std::string& in) {
  if (in.empty()) return in;
  int wlen = MultiByteToWideChar(fromCp, 0, in.data(), static_cast<int>(in.size()), nullptr, 0);
  if (wlen <= 0) return in;
  std::wstring w(static_cast<size_t>(wlen), L'\0');
  MultiByteToWideChar(fromCp, 0, in.data(), static_cast<int>(in.size()), &w[0], wlen);
  int len = WideCharToMultiByte(toCp, 0, w.data(), wlen, nullptr, 0, nullptr, nullptr);
  if (len <= 0) return in;
  std::string out(static_cast<size_t>(len), '\0');
  WideCharToMultiByte(toCp, 0, w.data(), wlen, &out[0], len, nullptr, nullptr);
  return out;
}

}  // namespace

std::string GbkToUtf8(const std::string& gbk) { return Convert(CP_UTF8, 936, gbk); }
std::string Utf8ToGbk(const std::string& utf8) { return Convert(936, CP_UTF8, utf8); }
std::string HostPath(const std::string& gbkPath) { return gbkPath; }

bool HasGbkForm(const std::wstring& hostPath) {
  if (hostPath.empty()) return true;
  BOOL usedDefault = FALSE;
  // No best fit: a character that would come back as a look-alike names another file.
  int n = WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS, hostPath.data(), static_cast<int>(hostPath.size()), nullptr, 0,
                              nullptr, &usedDefault);
  return n > 0 && !usedDefault;
}

}  // namespace platform
