// Draws the window's captions, labels and two progress bars on standard error: redrawn in place on a
// terminal, one plain line per change otherwise, in the terminal's character set. Message boxes
// printed meanwhile start a fresh drawing below them.
#pragma once
#include <map>
#include <mutex>
#include <string>

class ConsoleRenderer {
 public:
  ConsoleRenderer();
  void SetTitle(const std::string& gbk);
  void SetText(int id, const std::string& gbk);
  void SetProgress(int id, int pos);
  // Called when something else was written to standard error.
  static void Interrupted();

 private:
  void Draw();
  void PlainLine(const std::string& gbkLine);

  bool terminal_;
  bool titled_ = false;  // nothing is drawn in place before the title line
  int drawnLines_ = 0;
  std::map<int, std::string> texts_;
  std::map<int, int> progress_;
};

// One lock for everything the console writes on standard error.
std::mutex& ConsoleOutputLock();
