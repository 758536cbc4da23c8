#include "app/partner_code.h"

bool PartnerCodeFromRawCommandLine(const std::string& commandLine, std::string* code) {
  if (commandLine.find("--kirvan") == std::string::npos) return false;
  std::string::size_type first = commandLine.find('"');
  std::string::size_type last = commandLine.rfind('"');
  if (first == std::string::npos || last == std::string::npos) return false;
  *code = first == last ? commandLine.substr(first + 1) : commandLine.substr(first + 1, last - first - 1);
  return true;
}

bool PartnerCodeFromArguments(const std::vector<std::string>& args, std::string* code) {
  std::string joined;
  for (const std::string& a : args) joined += (joined.empty() ? "" : " ") + a;
  if (joined.find('"') != std::string::npos) return PartnerCodeFromRawCommandLine(joined, code);
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i].find("--kirvan") == std::string::npos) continue;
    if (i + 1 >= args.size()) return false;
    *code = args[i + 1];
    return true;
  }
  return false;
}
