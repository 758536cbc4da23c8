#include <windows.h>

#include <cstdlib>

#include "platform/program_info.h"

namespace platform {
namespace {

std::string ModulePath() {
  char buf[MAX_PATH + 1] = {0};
  DWORD n = GetModuleFileNameA(nullptr, buf, MAX_PATH);
  return std::string(buf, n);
}

}  // namespace

std::string ProgramFolder() {
  std::string p = ModulePath();
  std::string::size_type slash = p.find_last_of("\\/");
  return slash == std::string::npos ? std::string(".") : p.substr(0, slash);
}

std::string ProgramBaseName() {
  std::string p = ModulePath();
  std::string::size_type slash = p.find_last_of("\\/");
  if (slash != std::string::npos) p = p.substr(slash + 1);
  std::string::size_type dot = p.rfind('.');
  return dot == std::string::npos ? p : p.substr(0, dot);
}

std::string CommandLineTail() {
  const char* p = GetCommandLineA();
  if (!p) return std::string();
  if (*p == '"') {
    ++p;
    while (*p && *p != '"') ++p;
    if (*p == '"') ++p;
  } else {
    while (*p && *p != ' ' && *p != '\t') ++p;
  }
  while (*p == ' ' || *p == '\t') ++p;
  return p;
}

std::vector<std::string> CommandLineArguments() {
  std::vector<std::string> args;
  for (int i = 1; i < __argc; ++i) args.push_back(__argv[i]);
  return args;
}

void SetCommandLineArguments(int, char**) {}

}  // namespace platform
