// Starting programs from native test drivers: whole runs of nolkpatch, nolkpack, wine. POSIX only;
// the drivers that use it are built for the native preset.
#pragma once
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

struct ProcessOptions {
  std::vector<std::string> argv;                         // argv[0] is the program's path
  std::string cwd;                                       // empty: the current folder
  std::vector<std::pair<std::string, std::string>> env;  // added to (or replacing in) the environment
  std::string stdinText;                                 // fed to standard input, then closed
  double timeoutSeconds = 300;                           // the child is killed after this
};

struct ProcessResult {
  int exitCode = -1;  // -1 when it did not exit normally
  int signal = 0;     // the signal that ended it, or 0
  bool timedOut = false;
  std::string out;
  std::string err;
  long maxRssKib = 0;  // the child's peak resident memory (its own, not its children's)
};

// Runs the program to its end and collects its output.
ProcessResult RunProcess(const ProcessOptions& options);

// A program running in the background, with its output collected into files.
class ChildProcess {
 public:
  explicit ChildProcess(const ProcessOptions& options);
  ~ChildProcess();  // kills a child still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Running();
  void Kill(int signal);
  // Waits for the end (at most the timeout of the options) and returns what it printed.
  ProcessResult Wait();
  int Pid() const { return pid_; }
  // What it has written to standard output so far.
  std::string OutputSoFar() const;

 private:
  ProcessOptions options_;
  int pid_ = -1;
  std::string outPath_, errPath_;
  bool reaped_ = false;
  int status_ = 0;
  long maxRssKib_ = 0;
};

}  // namespace testsupport
