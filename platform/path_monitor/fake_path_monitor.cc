#include "platform/path_monitor/fake_path_monitor.h"

namespace kelvo {

class FakePathMonitor final : public PathMonitor {
 public:
  explicit FakePathMonitor(std::shared_ptr<FakePathSource> source)
      : source_(std::move(source)), shared_(std::make_shared<Shared>()) {}
  ~FakePathMonitor() override { Cancel(); }

  void SetPathUpdateHandler(UpdateHandler handler) override {
    std::lock_guard lock(shared_->mu);
    shared_->handler = std::move(handler);
  }

  std::optional<std::string> Start(std::shared_ptr<Queue> queue) override {
    std::lock_guard source_lock(source_->mu_);
    std::lock_guard lock(shared_->mu);
    if (shared_->cancelled) return "the path monitor was cancelled";
    if (queue_) return "the path monitor is already started";
    if (!queue) return "the path monitor needs a queue";
    if (source_->start_error_) return *source_->start_error_;
    queue_ = std::move(queue);
    shared_->current = source_->path_;
    source_->running_.insert(this);
    return std::nullopt;
  }

  void Cancel() override {
    std::lock_guard source_lock(source_->mu_);
    std::lock_guard lock(shared_->mu);
    shared_->cancelled = true;
    shared_->handler = nullptr;
    source_->running_.erase(this);
  }

  Path CurrentPath() const override {
    std::lock_guard lock(shared_->mu);
    return shared_->current;
  }

  // Source's mutex held.
  void Report(const Path& path) {
    {
      std::lock_guard lock(shared_->mu);
      shared_->current = path;
    }
    queue_->Async([shared = shared_, path] {
      UpdateHandler handler;
      {
        std::lock_guard lock(shared->mu);
        if (shared->cancelled) return;
        handler = shared->handler;
      }
      if (handler) handler(path);
    });
  }

 private:
  struct Shared {
    std::mutex mu;
    UpdateHandler handler;
    bool cancelled = false;
    Path current;
  };

  const std::shared_ptr<FakePathSource> source_;
  const std::shared_ptr<Shared> shared_;
  std::shared_ptr<Queue> queue_;  // set once by Start, under the source's mutex
};

std::shared_ptr<FakePathSource> FakePathSource::Create(Path initial) {
  std::shared_ptr<FakePathSource> source(new FakePathSource());
  source->path_ = std::move(initial);
  return source;
}

PathMonitorFactory FakePathSource::Factory() {
  return [source = shared_from_this()] { return source->NewMonitor(); };
}

std::unique_ptr<PathMonitor> FakePathSource::NewMonitor() {
  {
    std::lock_guard lock(mu_);
    ++created_;
  }
  return std::make_unique<FakePathMonitor>(shared_from_this());
}

void FakePathSource::SetPath(Path path) {
  std::lock_guard lock(mu_);
  path_ = path;
  for (FakePathMonitor* monitor : running_) monitor->Report(path);
}

Path FakePathSource::path() const {
  std::lock_guard lock(mu_);
  return path_;
}

int FakePathSource::monitors_created() const {
  std::lock_guard lock(mu_);
  return created_;
}

int FakePathSource::monitors_running() const {
  std::lock_guard lock(mu_);
  return static_cast<int>(running_.size());
}

void FakePathSource::FailStarts(std::optional<std::string> error) {
  std::lock_guard lock(mu_);
  start_error_ = std::move(error);
}

Path SatisfiedPath(const std::vector<InterfaceType>& types) {
  Path path;
  path.status = PathStatus::kSatisfied;
  int index = 0;
  for (InterfaceType type : types) {
    ++index;
    path.interfaces.push_back({"if" + std::to_string(index), index, type});
  }
  return path;
}

Path UnsatisfiedPath() { return Path{}; }

}  // namespace kelvo
