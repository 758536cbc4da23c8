// The patcher's own files in a release tree, bin/patch/nolkpatch.exe and bin/patch/nolkdbghelp.dll:
// a release that dropped them, or an obsolete-file list naming them, would leave players with a
// patcher that cannot start (clients before this one delete what the list names).
#pragma once
#include <string>
#include <vector>

#include "tools/nolkpack/obsolete_list.h"
#include "tools/nolkpack/pack_build.h"

namespace nolkpack {

// Why a package from oldTree to newTree must not be built: a program file of oldTree that newTree
// lacks, in words; empty when there is none.
std::string DroppedProgramFile(const GameTree& oldTree, const GameTree& newTree);

// One problem for each list line that names a program file, however it is spelled, whether from the
// root ("..\..\bin\patch\...") or from the program's folder (".\nolkdbghelp.dll").
std::vector<std::string> ListLinesNamingProgramFiles(const std::vector<ListEntry>& list);

}  // namespace nolkpack
