// nolkpack: the operator's tool for update packages.
//   nolkpack build OLD_DIR NEW_DIR --version X.Y.Z -o FILE
//   nolkpack list FILE
//   nolkpack line FILE --url URL
//   nolkpack verify OLD_DIR NEW_DIR PACKAGE...
//   nolkpack verify --list FILE [--key KEY] [PACKAGE...]
#include <cstdio>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "tools/nolkpack/list_key_check.h"
#include "tools/nolkpack/pack_build.h"
#include "tools/nolkpack/pack_inspect.h"
#include "tools/nolkpack/pack_verify.h"

namespace {

const char kUsage[] =
    "usage:\n"
    "  nolkpack build OLD_DIR NEW_DIR --version X.Y.Z -o FILE\n"
    "  nolkpack list FILE\n"
    "  nolkpack line FILE --url URL\n"
    "  nolkpack verify OLD_DIR NEW_DIR PACKAGE...\n"
    "  nolkpack verify --list FILE [--key KEY] [PACKAGE...]\n";

const char kHelp[] =
    "\n"
    "build   writes the package that brings a client at OLD_DIR, or at any earlier release, to\n"
    "        NEW_DIR (plain game trees, each with its var/gac/update.ini; NEW_DIR's must say\n"
    "        Version=X.Y.Z). The obsolete-file list data/DelFileList.dat is kept by the tool: it is\n"
    "        written into NEW_DIR and into the package. Names some client cannot write are refused.\n"
    "list    prints the header and every record of a package.\n"
    "line    prints the update-list line \"X.Y.Z URL md5\" of a package.\n"
    "verify  applies the packages to a scratch copy of OLD_DIR with the program's own engine,\n"
    "        removes the obsolete files as a client does, and compares the result with NEW_DIR,\n"
    "        names compared as Windows compares them. Prints every difference.\n"
    "        With --list FILE: checks that each package the update list names (found among the\n"
    "        PACKAGE files or beside the list) has the listed MD5, and with --key (minisign.pub or\n"
    "        its base64 line) that FILE.minisig is a valid signature of the list by that key.\n"
    "\n"
    "exit codes: 0 done, 1 refused or failed (verify: a difference), 2 bad arguments\n";

int Usage(const std::string& problem) {
  std::fprintf(stderr, "nolkpack: %s\n%s", problem.c_str(), kUsage);
  return 2;
}

int Fail(const std::string& problem) {
  std::fprintf(stderr, "nolkpack: %s\n", problem.c_str());
  return 1;
}

// Arguments arrive in the host's encoding; the library takes GBK.
std::string Arg(const char* a) {
#ifdef _WIN32
  return a;
#else
  return platform::Utf8ToGbk(a);
#endif
}

void Print(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage("no subcommand");
  const std::string command = argv[1];
  std::vector<std::string> plain;
  std::string version, output, url, list, key;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string* into) {
      if (i + 1 >= argc) return false;
      *into = argv[++i];
      return true;
    };
    if (a == "--version") {
      if (!value(&version)) return Usage("--version needs a value");
    } else if (a == "-o" || a == "--output") {
      if (!value(&output)) return Usage(a + " needs a value");
    } else if (a == "--url") {
      if (!value(&url)) return Usage("--url needs a value");
    } else if (a == "--list") {
      if (!value(&list)) return Usage("--list needs a value");
    } else if (a == "--key") {
      if (!value(&key)) return Usage("--key needs a value");
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage("unknown option " + a);
    } else {
      plain.push_back(a);
    }
  }

  if ((!list.empty() || !key.empty()) && command != "verify") return Usage("--list and --key belong to verify");

  if (command == "build") {
    if (plain.size() != 2) return Usage("build takes OLD_DIR and NEW_DIR");
    if (version.empty()) return Usage("build needs --version X.Y.Z");
    if (output.empty()) return Usage("build needs -o FILE");
    if (!url.empty()) return Usage("build takes no --url");
    VersionCode code;
    if (!nolkpack::ParseVersionArgument(version, &code))
      return Usage("bad version " + version + " (X.Y.Z, X and Y up to 255, Z up to 65535)");
    nolkpack::BuildStats stats;
    std::string error;
    bool ok =
        nolkpack::BuildPackage(Arg(plain[0].c_str()), Arg(plain[1].c_str()), code, Arg(output.c_str()), &stats, &error);
    for (const std::string& w : stats.warnings) std::fprintf(stderr, "nolkpack: warning: %s\n", w.c_str());
    if (!ok) return Fail(error);
    std::printf("%s: %d added, %d changed, %d listed for removal\n", output.c_str(), stats.added, stats.modified,
                stats.removed);
    std::printf("%s: the obsolete-file list of this release; keep it in NEW_DIR, the next release is built from it\n",
                platform::HostPath(stats.listPath).c_str());
    return 0;
  }
  if (command == "list") {
    if (plain.size() != 1) return Usage("list takes FILE");
    if (!version.empty() || !output.empty() || !url.empty()) return Usage("list takes no options");
    std::string text, error;
    if (!nolkpack::ListPackage(Arg(plain[0].c_str()), &text, &error)) {
      Print(text);
      return Fail(error);
    }
    Print(text);
    return 0;
  }
  if (command == "line") {
    if (plain.size() != 1) return Usage("line takes FILE");
    if (url.empty()) return Usage("line needs --url URL");
    if (!version.empty() || !output.empty()) return Usage("line takes only --url");
    std::string text, error;
    if (!nolkpack::PackageLine(Arg(plain[0].c_str()), url, &text, &error)) return Fail(error);
    Print(text);
    return 0;
  }
  if (command == "verify") {
    if (!list.empty() || !key.empty()) {
      if (!version.empty() || !output.empty() || !url.empty()) return Usage("verify --list takes only --key");
      return nolkpack::VerifyListCommand(list, key, plain);
    }
    if (plain.size() < 3) return Usage("verify takes OLD_DIR, NEW_DIR and at least one PACKAGE");
    if (!version.empty() || !output.empty() || !url.empty()) return Usage("verify takes no options");
    std::vector<std::string> packages;
    for (std::size_t i = 2; i < plain.size(); ++i) packages.push_back(Arg(plain[i].c_str()));
    std::vector<std::string> problems, notes;
    std::string error;
    if (!nolkpack::VerifyPackages(Arg(plain[0].c_str()), Arg(plain[1].c_str()), packages, &problems, &notes, &error))
      return Fail(error);
    for (const std::string& n : notes) std::printf("note: %s\n", n.c_str());
    for (const std::string& p : problems) std::printf("%s\n", p.c_str());
    if (!problems.empty()) {
      std::fprintf(stderr, "nolkpack: verify: %d problem%s\n", static_cast<int>(problems.size()),
                   problems.size() == 1 ? "" : "s");
      return 1;
    }
    std::printf("verify: %d package%s from OLD_DIR to NEW_DIR\n", static_cast<int>(packages.size()),
                packages.size() == 1 ? " leads" : "s lead");
    return 0;
  }
  if (command == "-h" || command == "--help" || command == "help") {
    Print(kUsage);
    Print(kHelp);
    return 0;
  }
  return Usage("unknown subcommand " + command);
}
