#include "app/console/console_renderer.h"

#include <atomic>
#include <cstdio>

#include "app/resource.h"
#include "platform/terminal.h"

namespace {

std::atomic<unsigned> g_interruptions{0};

void Write(const std::string& s) {
  std::fwrite(s.data(), 1, s.size(), stderr);
  std::fflush(stderr);
}

std::string Bar(int pos) {
  if (pos < 0) pos = 0;
  if (pos > 100) pos = 100;
  int filled = pos * 30 / 100;
  char pct[16];
  std::snprintf(pct, sizeof pct, "%3d%%", pos);
  return "[" + std::string(static_cast<std::size_t>(filled), '#') +
         std::string(static_cast<std::size_t>(30 - filled), '-') + "] " + pct;
}

const char* Caption(int id) {
  switch (id) {
    case IDC_VERSION_LABEL:
      return "更新包版本号";
    case IDC_SIZE_LABEL:
      return "当前更新数据量";
    case IDC_DOWNLOADED_LABEL:
      return "已下载";
    default:
      return nullptr;
  }
}

}  // namespace

std::mutex& ConsoleOutputLock() {
  static std::mutex m;
  return m;
}

ConsoleRenderer::ConsoleRenderer() : terminal_(platform::IsTerminal(platform::kStdErr)) {}

void ConsoleRenderer::Interrupted() { ++g_interruptions; }

void ConsoleRenderer::SetTitle(const std::string& gbk) {
  std::lock_guard<std::mutex> g(ConsoleOutputLock());
  Write(platform::TerminalText(gbk) + "\n");
  drawnLines_ = 0;
  titled_ = true;
  if (terminal_) Draw();
}

void ConsoleRenderer::PlainLine(const std::string& gbkLine) { Write(platform::TerminalText(gbkLine) + "\n"); }

void ConsoleRenderer::SetText(int id, const std::string& gbk) {
  std::lock_guard<std::mutex> g(ConsoleOutputLock());
  std::string& old = texts_[id];
  if (old == gbk) return;
  old = gbk;
  if (terminal_) {
    Draw();
    return;
  }
  if (gbk.empty() || id == IDC_PROGRESS_CAPTION) return;
  const char* caption = Caption(id);
  PlainLine(caption ? std::string(caption) + ": " + gbk : gbk);
}

void ConsoleRenderer::SetProgress(int id, int pos) {
  std::lock_guard<std::mutex> g(ConsoleOutputLock());
  auto it = progress_.find(id);
  if (it != progress_.end() && it->second == pos) return;
  progress_[id] = pos;
  if (terminal_) {
    Draw();
    return;
  }
  std::string caption = id == IDC_UPDATE_PROGRESS ? texts_[IDC_PROGRESS_CAPTION] : std::string("已下载");
  if (caption.empty()) caption = "更新进度";
  PlainLine(caption + " " + Bar(pos));
}

void ConsoleRenderer::Draw() {
  if (!titled_) return;
  static unsigned seen = 0;
  if (g_interruptions != seen) {
    seen = g_interruptions;
    drawnLines_ = 0;
  }
  std::string out;
  if (drawnLines_ > 0) out += "\x1b[" + std::to_string(drawnLines_) + "A";
  std::string caption = texts_[IDC_PROGRESS_CAPTION];
  const std::string lines[5] = {
      std::string("更新包版本号    ") + texts_[IDC_VERSION_LABEL],
      std::string("当前更新数据量  ") + texts_[IDC_SIZE_LABEL],
      std::string("已下载  ") + Bar(progress_[IDC_DOWNLOAD_PROGRESS]) + "  " + texts_[IDC_DOWNLOADED_LABEL],
      (caption.empty() ? std::string("        ") : caption + "  ") + Bar(progress_[IDC_UPDATE_PROGRESS]),
      texts_[IDC_STATUS_LABEL],
  };
  for (const std::string& l : lines) out += "\r\x1b[2K" + platform::TerminalText(l) + "\n";
  drawnLines_ = 5;
  Write(out);
}
