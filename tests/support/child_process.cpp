#include "tests/support/child_process.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "tests/support/test_files.h"

extern char** environ;

namespace testsupport {
namespace {

std::string TempName(const char* what) {
  static int counter = 0;
  const char* base = std::getenv("NOLK_TEST_TMP");
  std::string dir = base && *base ? base : "/tmp";
  MakeDirs(dir);
  return dir + "/child-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "." + what;
}

}  // namespace

ChildProcess::ChildProcess(const ProcessOptions& options)
    : options_(options), outPath_(TempName("out")), errPath_(TempName("err")) {
  const std::string inPath = TempName("in");
  WriteFile(inPath, options.stdinText);
  // Opened before the fork: removed right after it, the file would often be gone before the child
  // opened it, and the child would read the parent's standard input instead.
  const int in = open(inPath.c_str(), O_RDONLY);
  std::remove(inPath.c_str());
  pid_ = fork();
  if (pid_ == 0) {
    int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(127);
    for (const auto& kv : options.env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
    std::vector<char*> args;
    for (const auto& a : options.argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  if (in >= 0) close(in);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
  }
  std::remove(outPath_.c_str());
  std::remove(errPath_.c_str());
}

bool ChildProcess::Running() {
  if (pid_ <= 0 || reaped_) return false;
  if (waitpid(pid_, &status_, WNOHANG) == pid_) reaped_ = true;
  return !reaped_;
}

void ChildProcess::Kill(int signal) {
  if (pid_ > 0 && !reaped_) kill(pid_, signal);
}

ProcessResult ChildProcess::Wait() {
  ProcessResult r;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(options_.timeoutSeconds);
  while (Running()) {
    // The program's own high-water mark (the rusage of a forked child would count the parent's
    // pages held before the exec). It only grows once the program runs, so the last reading is
    // its peak; readings before the exec are the parent's and are overwritten.
    std::string status;
    if (ReadFile("/proc/" + std::to_string(pid_) + "/status", &status)) {
      std::string::size_type at = status.find("VmHWM:");
      if (at != std::string::npos) maxRssKib_ = std::atol(status.c_str() + at + 6);
    }
    if (std::chrono::steady_clock::now() > deadline) {
      r.timedOut = true;
      kill(pid_, SIGKILL);
      waitpid(pid_, &status_, 0);
      reaped_ = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  r.maxRssKib = maxRssKib_;
  if (WIFEXITED(status_)) r.exitCode = WEXITSTATUS(status_);
  if (WIFSIGNALED(status_)) r.signal = WTERMSIG(status_);
  ReadFile(outPath_, &r.out);
  ReadFile(errPath_, &r.err);
  return r;
}

std::string ChildProcess::OutputSoFar() const {
  std::string out;
  ReadFile(outPath_, &out);
  return out;
}

ProcessResult RunProcess(const ProcessOptions& options) {
  ChildProcess child(options);
  return child.Wait();
}

}  // namespace testsupport
#endif
