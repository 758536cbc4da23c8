// The partner code given with "--kirvan" on the command line, recorded in RootDir + "var/gac/KirvanCode".
#pragma once
#include <string>
#include <vector>

// The raw Windows rule: when the command line contains "--kirvan" anywhere, the code runs from just
// after its first double quote to just before its last one (with one quote: to the end).
// False when there is no switch or no quote.
bool PartnerCodeFromRawCommandLine(const std::string& commandLine, std::string* code);
// The rule after a shell has removed the quotes: the argument after the first one containing
// "--kirvan". Arguments that still carry double quotes follow the raw rule over the joined line.
bool PartnerCodeFromArguments(const std::vector<std::string>& args, std::string* code);
