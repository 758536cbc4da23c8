// Makes game trees for the demo and for scripts:
//   nolk_gametree base DIR VERSION FILES SEED
//   nolk_gametree evolve FROM TO VERSION SEED
//   nolk_gametree compare EXPECTED ACTUAL     (ignores bin/patch/ and var/gac/ except update.ini)
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/game_tree.h"

namespace {

bool InstallOnly(const std::string& rel) {
  if (rel.rfind("bin/patch/", 0) == 0 || rel == "bin/patch/") return true;
  if (rel.rfind("var/gac/", 0) == 0 && rel != "var/gac/update.ini" && rel != "var/gac/") return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string cmd = argc > 1 ? argv[1] : "";
  if (cmd == "base" && argc == 6) {
    testsupport::MakeBaseTree(argv[2], argv[3], std::atoi(argv[4]), static_cast<std::uint32_t>(std::atoi(argv[5])));
    return 0;
  }
  if (cmd == "evolve" && argc == 6) {
    testsupport::EvolveTree(argv[2], argv[3], argv[4], static_cast<std::uint32_t>(std::atoi(argv[5])));
    return 0;
  }
  if (cmd == "compare" && argc == 4) {
    auto diffs = testsupport::CompareTrees(argv[2], argv[3], InstallOnly);
    for (const auto& d : diffs) std::printf("%s\n", d.c_str());
    return diffs.empty() ? 0 : 1;
  }
  std::fprintf(stderr,
               "usage: nolk_gametree base DIR VERSION FILES SEED | evolve FROM TO VERSION SEED | compare EXPECTED ACTUAL\n");
  return 2;
}
