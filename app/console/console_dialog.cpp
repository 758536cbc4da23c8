// The dialog on a terminal: its messages wait in a queue of the process, its controls are texts and
// numbers drawn by the renderer, and its boxes are the console's own.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "app/console/console_renderer.h"
#include "app/dialog.h"
#include "app/window_messages.h"
#include "platform/message_box.h"
#include "platform/worker_thread.h"

std::atomic<bool> g_closeRequested{false};

void RequestConsoleClose() { g_closeRequested = true; }

namespace {

// A request of another thread to read a label, served in queue order by the window's thread.
const unsigned kReadItemText = 0x7FF0;
struct ReadRequest {
  int id;
  std::string text;
  bool done = false;
};

struct QueuedMessage {
  unsigned message;
  std::uintptr_t wParam;
  std::intptr_t lParam;
};

std::string FailureText() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "发生未知错误。";
  }
}

}  // namespace

struct CDialog::Impl {
  CDialog* self;
  unsigned templateId;
  std::mutex lock;
  std::condition_variable changed;
  std::deque<QueuedMessage> queue;
  std::thread::id owner;
  bool created = false;
  bool ended = false;
  int result = 0;
  bool iconic = false;
  std::string title;
  std::map<int, std::string> texts;
  std::map<int, int> progress;
  ConsoleRenderer renderer;

  void Answer(ReadRequest* r) {
    // Under lock.
    r->text = texts[r->id];
    r->done = true;
  }

  void Dispatch(const QueuedMessage& m) {
    if (m.message == kReadItemText) {
      std::lock_guard<std::mutex> g(lock);
      Answer(reinterpret_cast<ReadRequest*>(m.lParam));
      changed.notify_all();
      return;
    }
    if (m.message == kWmClose) {
      self->OnCancel();
      return;
    }
    std::intptr_t r = 0;
    try {
      if (!self->OnWindowMessage(m.message, m.wParam, m.lParam, &r)) FreeMessagePayloads(m.message, m.wParam, m.lParam);
    } catch (...) {
      // The framework's report of a failure that left a handler. Nobody is at a terminal to close
      // the window afterwards, so the run ends as if it had been closed.
      platform::AppMessageBox(FailureText(), platform::kMbOk | platform::kMbIconError);
      self->OnCancel();
    }
  }

  // Messages still waiting when the window ends are never handled: their payloads are freed, and
  // readers get the labels as they stand.
  void Drain() {
    std::deque<QueuedMessage> rest;
    {
      std::lock_guard<std::mutex> g(lock);
      rest.swap(queue);
      for (const QueuedMessage& m : rest)
        if (m.message == kReadItemText) Answer(reinterpret_cast<ReadRequest*>(m.lParam));
      changed.notify_all();
    }
    for (const QueuedMessage& m : rest)
      if (m.message != kReadItemText) FreeMessagePayloads(m.message, m.wParam, m.lParam);
  }
};

CDialog::CDialog(unsigned templateId) : impl_(new Impl) {
  impl_->self = this;
  impl_->templateId = templateId;
}

CDialog::~CDialog() {
  DestroyWindow();
  delete impl_;
}

bool CDialog::Create() {
  {
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->owner = std::this_thread::get_id();
    impl_->created = true;
    impl_->ended = false;
  }
  OnInitDialog();
  return true;
}

std::intptr_t CDialog::DoModal() {
  if (!Create()) return -1;
  for (;;) {
    QueuedMessage m;
    {
      std::unique_lock<std::mutex> g(impl_->lock);
      impl_->changed.wait_for(g, std::chrono::milliseconds(100),
                              [this] { return impl_->ended || !impl_->queue.empty() || g_closeRequested; });
      if (impl_->ended) break;
      if (g_closeRequested.exchange(false)) {
        m = {kWmClose, 0, 0};
      } else if (impl_->queue.empty()) {
        continue;
      } else {
        m = impl_->queue.front();
        impl_->queue.pop_front();
      }
    }
    if (m.message != 0) impl_->Dispatch(m);
  }
  DestroyWindow();
  return impl_->result;
}

void CDialog::DestroyWindow() {
  {
    std::lock_guard<std::mutex> g(impl_->lock);
    if (!impl_->created) return;
    impl_->created = false;
    impl_->ended = true;
  }
  impl_->Drain();
}

void* CDialog::GetSafeHwnd() const { return nullptr; }

void CDialog::SetWindowText(const std::string& text) {
  {
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->title = text;
  }
  impl_->renderer.SetTitle(text);
}

std::string CDialog::GetWindowText() const {
  std::lock_guard<std::mutex> g(impl_->lock);
  return impl_->title;
}

void CDialog::ShowMinimized() { impl_->iconic = true; }
void CDialog::HideWindow() {}
bool CDialog::IsIconic() const { return impl_->iconic; }
void CDialog::CenterWindow() {}

void CDialog::WaitForThread(void* thread) {
  // Serve label reads meanwhile: the thread waited for may need one before it can end.
  for (;;) {
    {
      std::unique_lock<std::mutex> g(impl_->lock);
      for (QueuedMessage& m : impl_->queue) {
        if (m.message == kReadItemText && m.lParam) {
          impl_->Answer(reinterpret_cast<ReadRequest*>(m.lParam));
          m.lParam = 0;
          m.message = 0;
        }
      }
      impl_->changed.notify_all();
    }
    unsigned code;
    if (!thread || platform::WorkerExitCode(thread, &code)) return;
    std::unique_lock<std::mutex> g(impl_->lock);
    impl_->changed.wait_for(g, std::chrono::milliseconds(5));
  }
}

bool CDialog::PostMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
  {
    std::lock_guard<std::mutex> g(impl_->lock);
    if (!impl_->created || impl_->ended) return false;
    impl_->queue.push_back({message, wParam, lParam});
  }
  impl_->changed.notify_all();
  return true;
}

void CDialog::SetItemText(int id, const std::string& text) {
  {
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->texts[id] = text;
  }
  impl_->renderer.SetText(id, text);
}

std::string CDialog::GetItemText(int id) {
  ReadRequest request{id, std::string()};
  std::unique_lock<std::mutex> g(impl_->lock);
  if (std::this_thread::get_id() == impl_->owner || !impl_->created || impl_->ended) return impl_->texts[id];
  impl_->queue.push_back({kReadItemText, 0, reinterpret_cast<std::intptr_t>(&request)});
  impl_->changed.notify_all();
  impl_->changed.wait(g, [&] { return request.done; });
  return request.text;
}

void CDialog::RepaintBehind(int) {}

void CDialog::SetProgressPos(int id, int pos) {
  {
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->progress[id] = pos;
  }
  impl_->renderer.SetProgress(id, pos);
}

int CDialog::GetProgressPos(int id) {
  std::lock_guard<std::mutex> g(impl_->lock);
  return impl_->progress[id];
}

int CDialog::MessageBox(const std::string& text, const std::string& caption, unsigned style) {
  return platform::ShowMessageBox(nullptr, text, caption.empty() ? platform::AppName() : caption, style);
}

void CDialog::PumpMessages() {
  for (;;) {
    QueuedMessage m;
    {
      std::lock_guard<std::mutex> g(impl_->lock);
      if (impl_->queue.empty()) return;
      m = impl_->queue.front();
      impl_->queue.pop_front();
    }
    if (m.message == 0) continue;
    impl_->Dispatch(m);
  }
}

void CDialog::EndDialog(int result) {
  {
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->result = result;
    impl_->ended = true;
  }
  impl_->changed.notify_all();
}

