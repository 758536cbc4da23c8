// The debug-help library check made before start-up: nolkdbghelp.dll must load and offer nine
// functions, or the program says so and ends (exit code 3). The functions are never called. An
// interrupted replacement of the program's files is finished before it (platform/running_program.h).
#pragma once

const int kDebugHelpFunctionCount = 9;
extern const char* const kDebugHelpNames[kDebugHelpFunctionCount];
extern void* DebugHelpTable[kDebugHelpFunctionCount];

// Returns the table when all nine were found; otherwise shows the box and ends the process.
void* const* LoadDebugHelp();
