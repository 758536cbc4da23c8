// What the process knows about itself: its own folder, its file name, and its command line as the
// program received it after its own name.
#pragma once
#include <string>
#include <vector>

namespace platform {

// The folder of the running program file (host encoding, no trailing separator).
std::string ProgramFolder();
// The program file's name without folder and extension (the application's name).
std::string ProgramBaseName();

// Windows: the raw command line after the program's name (MFC's rule: the name, quoted or not,
// then the blanks after it are skipped). Elsewhere: the arguments recorded by
// SetCommandLineArguments (converted to GBK), joined with single spaces.
std::string CommandLineTail();
// The arguments after the program's name (Windows: split by the C runtime's rules).
std::vector<std::string> CommandLineArguments();
// Elsewhere main() records its arguments here; on Windows it is not needed.
void SetCommandLineArguments(int argc, char** argv);

}  // namespace platform
