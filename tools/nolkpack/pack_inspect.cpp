#include "tools/nolkpack/pack_inspect.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "engine/src/lumcommon/digester/cmd5.h"
#include "package/bz_update_helper.h"
#include "package/update_sec.h"
#include "platform/codepage.h"
#include "platform/stdio_file.h"
#include "tools/nolkpack/list_check.h"

namespace nolkpack {
namespace {

bool ReadHeader(const std::string& path, unsigned char header[12], std::string* error) {
  std::FILE* f = platform::OpenStdFile(path, "rb");
  if (!f) {
    *error = "cannot open " + platform::HostPath(path);
    return false;
  }
  bool ok = std::fread(header, 12, 1, f) == 1;
  std::fclose(f);
  if (!ok || std::memcmp(header, "ZBNR", 4) != 0) {
    *error = "not an update package: " + platform::HostPath(path);
    return false;
  }
  return true;
}

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
  char buf[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  return buf;
}

}  // namespace

bool ListPackage(const std::string& path, std::string* out, std::string* error) {
  unsigned char header[12];
  if (!ReadHeader(path, header, error)) return false;
  const VersionCode version = ReadLe32(header + 4);
  out->append(Printf("package %s\nversion %s (0x%08x), reserved 0x%08x\n", platform::HostPath(path).c_str(),
                     VersionText(version).c_str(), static_cast<unsigned>(version),
                     static_cast<unsigned>(ReadLe32(header + 8))));
  BzUpdateHelper reader;
  if (!reader.Open(version, path, path)) {
    *error = platform::HostPath(reader.GetErrorText());
    return false;
  }
  int count = 0;
  for (;;) {
    const unsigned char* s = reader.ReadSection();
    if (reader.IsEnd()) break;
    if (!s) {
      *error = "record " + std::to_string(count + 1) + ": " + platform::HostPath(reader.GetErrorText());
      return false;
    }
    ++count;
    const std::uint32_t kind = SectionKind(s);
    char kindText[5];
    std::memcpy(kindText, s, 4);
    std::swap(kindText[0], kindText[3]);
    std::swap(kindText[1], kindText[2]);
    kindText[4] = '\0';
    for (int i = 0; i < 4; ++i)
      if (kindText[i] < 0x20 || kindText[i] > 0x7E) kindText[i] = '?';
    const std::uint32_t dataLength = SectionDataLength(s);
    out->append(Printf("%d %s %s", count, kindText, platform::HostPath(SectionName(s)).c_str()));
    if (kind == kSectionModi) {
      out->append(Printf(" fileLength=%u dataLength=%u\n", static_cast<unsigned>(SectionFileLength(s)),
                         static_cast<unsigned>(dataLength)));
      const unsigned char* runs = SectionData(s);
      if (!CheckPatchRuns(runs, dataLength)) {
        out->append("  runs overrun the record\n");
        continue;
      }
      std::uint64_t position = 0;
      for (std::uint64_t i = 0; i < dataLength;) {
        std::uint32_t skip = ReadLe32(runs + i), n = ReadLe32(runs + i + 4);
        position += skip;
        out->append(Printf("  run skip=%u count=%u at=%llu\n", static_cast<unsigned>(skip), static_cast<unsigned>(n),
                           static_cast<unsigned long long>(position)));
        position += n;
        i += 8 + static_cast<std::uint64_t>(n);
      }
    } else {
      out->append(Printf(" dataLength=%u\n", static_cast<unsigned>(dataLength)));
    }
  }
  out->append(Printf("%d records\n", count));
  return true;
}

bool ReadPackageVersion(const std::string& path, VersionCode* version, std::string* error) {
  unsigned char header[12];
  if (!ReadHeader(path, header, error)) return false;
  *version = ReadLe32(header + 4);
  return true;
}

bool PackageLine(const std::string& path, const std::string& url, std::string* out, std::string* error) {
  if (url.empty() || url.find_first_of(" \t\r\n\v\f") != std::string::npos) {
    *error = "the URL must be one word without blanks";
    return false;
  }
  unsigned char header[12];
  if (!ReadHeader(path, header, error)) return false;
  if (!CheckPackageUrl(url, path, error)) return false;
  std::string md5 = GetFileMD5(path, 10485760);
  *out = VersionText(ReadLe32(header + 4)) + " " + url + " " + md5 + "\n";
  return true;
}

}  // namespace nolkpack
