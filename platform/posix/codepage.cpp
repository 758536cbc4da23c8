#include "platform/codepage.h"

#include <errno.h>
#include <iconv.h>

namespace platform {
namespace {

std::string Convert(const char* to, const char* from, const std::string& in) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return in;
  std::string out;
  out.resize(in.size() * 2 + 8);
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  size_t used = 0;
  while (srcLeft > 0) {
    char* dst = &out[used];
    size_t dstLeft = out.size() - used;
    size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    used = out.size() - dstLeft;
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
    } else {
      // Not convertible: keep the byte unchanged and go on after it.
      if (used == out.size()) out.resize(out.size() * 2);
      out[used++] = *src++;
      --srcLeft;
    }
  }
  iconv_close(cd);
  out.resize(used);
  return out;
}

bool IsAscii(const std::string& s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

}  // namespace

std::string GbkToUtf8(const std::string& gbk) { return IsAscii(gbk) ? gbk : Convert("UTF-8", "GBK", gbk); }
std::string Utf8ToGbk(const std::string& utf8) { return IsAscii(utf8) ? utf8 : Convert("GBK", "UTF-8", utf8); }
bool HasGbkForm(const std::string& hostPath) {
  if (IsAscii(hostPath)) return true;
  iconv_t cd = iconv_open("GBK", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string out(hostPath.size() * 2 + 8, '\0');
  char* src = const_cast<char*>(hostPath.data());
  size_t srcLeft = hostPath.size();
  char* dst = &out[0];
  size_t dstLeft = out.size();
  size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
  iconv_close(cd);
  return r != static_cast<size_t>(-1) && srcLeft == 0;
}

std::string HostPath(const std::string& gbkPath) {
  // Windows takes either separator; after the conversion no multibyte character holds a 0x5C byte.
  std::string p = GbkToUtf8(gbkPath);
  for (char& c : p)
    if (c == '\\') c = '/';
  return p;
}

}  // namespace platform
