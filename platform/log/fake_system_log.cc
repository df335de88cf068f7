#include "platform/log/fake_system_log.h"

#include <utility>

namespace kelvo {

void FakeLogBook::Add(LoggedLine line) {
  std::lock_guard lock(mu_);
  lines_.push_back(std::move(line));
}

std::vector<LoggedLine> FakeLogBook::lines() const {
  std::lock_guard lock(mu_);
  return lines_;
}

std::vector<std::string> FakeLogBook::texts() const {
  std::lock_guard lock(mu_);
  std::vector<std::string> out;
  out.reserve(lines_.size());
  for (const LoggedLine& l : lines_) out.push_back(l.text);
  return out;
}

void FakeLogBook::Clear() {
  std::lock_guard lock(mu_);
  lines_.clear();
}

FakeSystemLog::FakeSystemLog(std::string subsystem, std::string category,
                             std::shared_ptr<FakeLogBook> book)
    : subsystem_(std::move(subsystem)),
      category_(std::move(category)),
      book_(book ? std::move(book) : std::make_shared<FakeLogBook>()) {}

void FakeSystemLog::Log(LogLevel level, std::string_view message) {
  book_->Add({subsystem_, category_, level, std::string(message)});
}

}  // namespace kelvo
