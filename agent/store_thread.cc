#include "agent/store_thread.h"

#include <chrono>

namespace agent {

StoreThread::StoreThread(const std::string& home) {
  list_.setHome(home);
  list_.initDBConfig();
  thread_ = std::thread([this] { run(); });
}

StoreThread::~StoreThread() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void StoreThread::submit(Work work, bool urgent) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (urgent)
      queue_.push_front(std::move(work));
    else
      queue_.push_back(std::move(work));
  }
  wake_.notify_one();
}

void StoreThread::reloadDatabaseSettings() {
  std::lock_guard<std::mutex> lock(mutex_);
  reread_ = true;
}

bool StoreThread::drain(int seconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return idle_.wait_for(lock, std::chrono::seconds(seconds), [this] { return queue_.empty() && !busy_; });
}

void StoreThread::abandon() {
  if (thread_.joinable()) thread_.detach();
}

void StoreThread::run() {
  for (;;) {
    Work work;
    bool reread = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping, nothing left
      work = std::move(queue_.front());
      queue_.pop_front();
      busy_ = true;
      reread = reread_;
      reread_ = false;
    }
    if (reread) list_.initDBConfig();
    work(list_);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      busy_ = false;
    }
    idle_.notify_all();
  }
}

}  // namespace agent
