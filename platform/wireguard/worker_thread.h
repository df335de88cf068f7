// WorkerThread: one thread of our own that runs posted work in order, for
// work that blocks (processes, sockets, netlink) and so must not sit on a
// Dispatch queue shared with others.
//
// Lifetime: the destructor runs the work already posted, then joins. Work
// posted after destruction has begun is dropped. Must not be destroyed from
// its own work.
//
// Threading: Post is safe from any thread. The thread is created by the
// constructor and inherits the constructing thread's namespaces.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace kelvo {

class WorkerThread {
 public:
  WorkerThread();
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  void Post(std::function<void()> work);
  bool IsCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

 private:
  void Run();

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> work_;
  bool closing_ = false;
  std::thread thread_;  // last: starts once the rest is built
};

}  // namespace kelvo
