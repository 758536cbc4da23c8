// The one way work is handed between the decoding threads and the reader: a bounded queue.
// Push waits while the queue is full, Pop while it is empty; Close wakes every waiter, after which
// Push refuses and Pop still hands out what is left. The bound is what keeps memory bounded.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <utility>

enum class QueueWait { kItem, kClosed, kTimeout };

template <typename T>
class WorkQueue {
 public:
  explicit WorkQueue(std::size_t capacity) : capacity_(capacity ? capacity : 1) {}
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;

  // False when the queue was closed before there was room; the item is then dropped.
  bool Push(T item) {
    std::unique_lock<std::mutex> lock(mutex_);
    notFull_.wait(lock, [this] { return closed_ || items_.size() < capacity_; });
    if (closed_) return false;
    items_.push_back(std::move(item));
    notEmpty_.notify_one();
    return true;
  }

  // False only when the queue is closed and empty.
  bool Pop(T* item) {
    std::unique_lock<std::mutex> lock(mutex_);
    notEmpty_.wait(lock, [this] { return closed_ || !items_.empty(); });
    return Take(item);
  }

  // Like Pop, but gives up after the given time so that the caller can do other work.
  QueueWait PopFor(T* item, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!notEmpty_.wait_for(lock, wait, [this] { return closed_ || !items_.empty(); })) return QueueWait::kTimeout;
    return Take(item) ? QueueWait::kItem : QueueWait::kClosed;
  }

  void Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    notEmpty_.notify_all();
    notFull_.notify_all();
  }

 private:
  bool Take(T* item) {
    if (items_.empty()) return false;
    *item = std::move(items_.front());
    items_.pop_front();
    notFull_.notify_one();
    return true;
  }

  const std::size_t capacity_;
  std::mutex mutex_;
  std::condition_variable notEmpty_;
  std::condition_variable notFull_;
  std::deque<T> items_;
  bool closed_ = false;
};
