#include <unistd.h>

#include <climits>

#include "platform/program_info.h"
#include "platform/terminal.h"

namespace platform {
namespace {

std::vector<std::string>& Arguments() {
  static std::vector<std::string> args;
  return args;
}

std::string ExePath() {
  char buf[PATH_MAX + 1];
  ssize_t n = readlink("/proc/self/exe", buf, PATH_MAX);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

}  // namespace

std::string ProgramFolder() {
  std::string p = ExePath();
  std::string::size_type slash = p.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? std::string("/") : p.substr(0, slash);
}

std::string ProgramBaseName() {
  std::string p = ExePath();
  std::string::size_type slash = p.rfind('/');
  if (slash != std::string::npos) p = p.substr(slash + 1);
  std::string::size_type dot = p.rfind('.');
  return dot == std::string::npos || dot == 0 ? p : p.substr(0, dot);
}

std::string CommandLineTail() {
  std::string out;
  for (const std::string& a : Arguments()) {
    if (!out.empty()) out += ' ';
    out += a;
  }
  return out;
}

std::vector<std::string> CommandLineArguments() { return Arguments(); }

void SetCommandLineArguments(int argc, char** argv) {
  Arguments().clear();
  // The shell hands them over in the terminal's character set; the program's texts are GBK, as the
  // Windows build gets them.
  for (int i = 1; i < argc; ++i) Arguments().push_back(GbkFromTerminal(argv[i]));
}

}  // namespace platform
