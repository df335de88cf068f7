#include "platform/wireguard/worker_thread.h"

namespace kelvo {

WorkerThread::WorkerThread() : thread_([this] { Run(); }) {}

WorkerThread::~WorkerThread() {
  {
    std::lock_guard lock(mu_);
    closing_ = true;
  }
  cv_.notify_one();
  thread_.join();
}

void WorkerThread::Post(std::function<void()> work) {
  {
    std::lock_guard lock(mu_);
    if (closing_) return;
    work_.push_back(std::move(work));
  }
  cv_.notify_one();
}

void WorkerThread::Run() {
  std::unique_lock lock(mu_);
  for (;;) {
    cv_.wait(lock, [this] { return closing_ || !work_.empty(); });
    if (work_.empty()) return;  // closing and drained
    std::function<void()> work = std::move(work_.front());
    work_.pop_front();
    lock.unlock();
    work();
    work = nullptr;  // release captures outside the lock
    lock.lock();
  }
}

}  // namespace kelvo
