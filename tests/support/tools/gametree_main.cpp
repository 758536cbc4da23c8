// Makes game trees and update chains for the demo and for scripts:
//   nolk_gametree base DIR VERSION FILES SEED
//   nolk_gametree evolve FROM TO VERSION SEED
//   nolk_gametree chain WORK FIRST_VERSION STEPS FILES SEED   (trees/, packages/, list.txt)
//   nolk_gametree compare EXPECTED ACTUAL   (skips the program's folder and var/gac but update.ini)
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/game_tree.h"
#include "tests/support/test_files.h"
#include "tests/support/update_chain.h"

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
  if (cmd == "chain" && argc == 7) {
    testsupport::UpdateChain chain;
    std::string error;
    if (!testsupport::MakeUpdateChain(argv[2], argv[3], std::atoi(argv[4]), std::atoi(argv[5]),
                                      static_cast<std::uint32_t>(std::atoi(argv[6])), &chain, &error)) {
      std::fprintf(stderr, "nolk_gametree: %s\n", error.c_str());
      return 1;
    }
    testsupport::WriteFile(std::string(argv[2]) + "/list.txt", chain.ListBody());
    return 0;
  }
  if (cmd == "compare" && argc == 4) {
    auto diffs = testsupport::CompareTrees(argv[2], argv[3], testsupport::InstallationOnly);
    for (const auto& d : diffs) std::printf("%s\n", d.c_str());
    return diffs.empty() ? 0 : 1;
  }
  std::fprintf(stderr,
               "usage: nolk_gametree base DIR VERSION FILES SEED | evolve FROM TO VERSION SEED |\n"
               "       chain WORK FIRST_VERSION STEPS FILES SEED | compare EXPECTED ACTUAL\n");
  return 2;
}
