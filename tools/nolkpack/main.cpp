// nolkpack: the operator's tool for update packages.
//   nolkpack build OLD_DIR NEW_DIR --version X.Y.Z -o FILE
//   nolkpack list FILE
//   nolkpack line FILE --url URL [--list LIST]
//   nolkpack verify OLD_DIR NEW_DIR PACKAGE... [--list LIST [--key KEY]]
//   nolkpack verify --list LIST [--key KEY] [PACKAGE...]
#include <cstdio>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/file_system.h"
#include "tools/nolkpack/list_check.h"
#include "tools/nolkpack/list_key_check.h"
#include "tools/nolkpack/pack_build.h"
#include "tools/nolkpack/pack_inspect.h"
#include "tools/nolkpack/pack_verify.h"

namespace {

const char kUsage[] =
    "usage:\n"
    "  nolkpack build OLD_DIR NEW_DIR --version X.Y.Z -o FILE\n"
    "  nolkpack list FILE\n"
    "  nolkpack line FILE --url URL [--list LIST]\n"
    "  nolkpack verify OLD_DIR NEW_DIR PACKAGE... [--list LIST [--key KEY]]\n"
    "  nolkpack verify --list LIST [--key KEY] [PACKAGE...]\n";

const char kHelp[] =
    "\n"
    "Each release is kept as the game build made it: a plain tree with its var/gac/update.ini\n"
    "(and, once built, the data/DelFileList.dat nolkpack wrote into it). OLD_DIR and NEW_DIR\n"
    "may be given through a symbolic link.\n"
    "\n"
    "build   writes the package that brings a client at OLD_DIR, or at any earlier release, to\n"
    "        NEW_DIR. The obsolete-file list data/DelFileList.dat is kept by the tool, made from\n"
    "        OLD_DIR's list and what went from OLD_DIR to NEW_DIR only (a rebuild equals a first\n"
    "        build from that OLD_DIR); it goes into every package and into NEW_DIR. Refused, with\n"
    "        what can be done: OLD_DIR or NEW_DIR without var/gac/update.ini; NEW_DIR's Version=\n"
    "        other than --version; OLD_DIR at that version or newer; -o FILE inside OLD_DIR or\n"
    "        NEW_DIR (links followed, a dangling one too), or a pipe, device or folder;\n"
    "        names some client cannot write (a colon, < > \" | ? *, control characters,\n"
    "        CON PRN AUX NUL COM1-9 LPT1-9 in any component, components ending in a dot or a\n"
    "        blank, empty or all-dot components, names without a GBK form, names over 253 bytes\n"
    "        or components over 255 bytes of UTF-8, ~nolk.tmp, *.nolkpatch-new, *.nolkpatch-old,\n"
    "        *.nolkpatch-pending, *.nolkpatch-part);\n"
    "        names read GBK-aware; two names of NEW_DIR that differ only in case; a data folder spelled\n"
    "        otherwise; anything but files and folders (links, pipes, sockets, devices); files\n"
    "        over 2 GiB; a new empty folder; a folder that becomes a file or the reverse, also\n"
    "        across the history (a retired folder back as a file, a retired file back as a\n"
    "        folder); a line of OLD_DIR's list over 259 bytes; a NEW_DIR that drops\n"
    "        bin/patch/nolkpatch.exe or bin/patch/nolkdbghelp.dll. A warning only: a folder that a\n"
    "        hand-written list retired whole partly comes back.\n"
    "list    prints the header and every record of a package.\n"
    "line    prints the update-list line \"X.Y.Z URL md5\" of a package. The URL's last segment\n"
    "        (after its last /) must be the package's file name. With --list LIST the line goes\n"
    "        into the list file instead: it replaces the line of the same version, or goes\n"
    "        before the first newer one, or at the end; the other lines stay as they are.\n"
    "verify  applies the packages to a scratch copy of OLD_DIR with the program's own engine,\n"
    "        removes the obsolete files as a client does, and compares the result with NEW_DIR.\n"
    "        After a stop it reports the stop and what the packages hold, not the half-way tree.\n"
    "        An old spelling left on case-sensitive clients (beside a case-only rename, or after\n"
    "        the new spelling was retired) is a note; every other difference is a problem. With\n"
    "        --list LIST it also checks the list: every record on a line of its own, each version\n"
    "        once and rising, every package with its file name and MD5, no version newer than\n"
    "        OLD_DIR that none of the packages leads to. With --key (minisign.pub, its base64\n"
    "        line, or what ListKey holds: the line and the words legacy or untimed) LIST.minisig\n"
    "        must be a signature of the list by that key that clients take: prehashed unless\n"
    "        legacy, its trusted comment naming LIST's file name and a time unless untimed.\n"
    "        verify --list LIST without the two trees checks only the list: its signature with\n"
    "        --key, each version once and rising, and that each package it names (among the\n"
    "        PACKAGE files, or beside the list) has the listed MD5.\n"
    "\n"
    "exit codes: 0 done, 1 refused or failed (verify: a problem found), 2 bad arguments\n";

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

  if (!key.empty() && command != "verify") return Usage("--key goes with verify --list");

  if (command == "build") {
    if (plain.size() != 2) return Usage("build takes OLD_DIR and NEW_DIR");
    if (version.empty()) return Usage("build needs --version X.Y.Z");
    if (output.empty()) return Usage("build needs -o FILE");
    if (!url.empty() || !list.empty()) return Usage("build takes no --url or --list");
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
    if (!version.empty() || !output.empty() || !url.empty() || !list.empty()) return Usage("list takes no options");
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
    if (!version.empty() || !output.empty()) return Usage("line takes only --url and --list");
    std::string text, error;
    if (!list.empty()) {
      if (!nolkpack::UpdateListFile(Arg(list.c_str()), Arg(plain[0].c_str()), url, &text, &error)) return Fail(error);
      std::printf("%s\n", text.c_str());
      return 0;
    }
    if (!nolkpack::PackageLine(Arg(plain[0].c_str()), url, &text, &error)) return Fail(error);
    Print(text);
    return 0;
  }
  if (command == "verify") {
    if (!version.empty() || !output.empty() || !url.empty()) return Usage("verify takes only --list and --key");
    if (!key.empty() && list.empty()) return Usage("--key needs --list LIST");
    // Without the two release trees only the list is checked.
    if (!list.empty() && (plain.size() < 3 || platform::GetPathKind(Arg(plain[0].c_str())) == platform::PathKind::kFile))
      return nolkpack::VerifyListCommand(list, key, plain);
    if (plain.size() < 3) return Usage("verify takes OLD_DIR, NEW_DIR and at least one PACKAGE");
    std::string base64Key, keyError;
    if (!key.empty() && !nolkpack::ReadListKeyArgument(Arg(key.c_str()), &base64Key, &keyError)) return Usage(keyError);
    std::vector<std::string> packages;
    for (std::size_t i = 2; i < plain.size(); ++i) packages.push_back(Arg(plain[i].c_str()));
    std::vector<std::string> problems, notes;
    std::string error;
    if (!nolkpack::VerifyPackages(Arg(plain[0].c_str()), Arg(plain[1].c_str()), packages, &problems, &notes, &error))
      return Fail(error);
    // The update list, checked against the same packages.
    if (!list.empty() && !nolkpack::CheckUpdateList(Arg(list.c_str()), nolkpack::ReleaseVersion(Arg(plain[0].c_str())),
                                                    packages, &problems, &error))
      return Fail(error);
    if (!base64Key.empty()) nolkpack::CheckListSignatureFile(Arg(list.c_str()), base64Key, &problems);
    for (const std::string& n : notes) std::printf("note: %s\n", n.c_str());
    for (const std::string& p : problems) std::printf("%s\n", p.c_str());
    if (!problems.empty()) {
      std::fprintf(stderr, "nolkpack: verify: %d problem%s\n", static_cast<int>(problems.size()),
                   problems.size() == 1 ? "" : "s");
      return 1;
    }
    std::printf("verify: %d package%s from OLD_DIR to NEW_DIR%s\n", static_cast<int>(packages.size()),
                packages.size() == 1 ? " leads" : "s lead", list.empty()       ? ""
                : base64Key.empty() ? ", and the update list names them right"
                                    : ", and the update list names them right and is signed with the key");
    return 0;
  }
  if (command == "-h" || command == "--help" || command == "help") {
    Print(kUsage);
    Print(kHelp);
    return 0;
  }
  return Usage("unknown subcommand " + command);
}
