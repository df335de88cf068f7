// A logger for tests: records every line in a book that the test keeps, so
// the lines stay readable after the logger was handed to (and destroyed by)
// the code under test. Several loggers may share one book.
// Threading: all methods are thread-safe.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/log/system_log.h"

namespace kelvo {

struct LoggedLine {
  std::string subsystem;
  std::string category;
  LogLevel level;
  std::string text;

  bool operator==(const LoggedLine&) const = default;
};

class FakeLogBook {
 public:
  void Add(LoggedLine line);
  std::vector<LoggedLine> lines() const;
  // Just the texts, in order.
  std::vector<std::string> texts() const;
  void Clear();

 private:
  mutable std::mutex mu_;
  std::vector<LoggedLine> lines_;
};

class FakeSystemLog : public SystemLog {
 public:
  // A null book gets a fresh one.
  FakeSystemLog(std::string subsystem, std::string category,
                std::shared_ptr<FakeLogBook> book = nullptr);

  const std::string& subsystem() const override { return subsystem_; }
  const std::string& category() const override { return category_; }
  void Log(LogLevel level, std::string_view message) override;

  const std::shared_ptr<FakeLogBook>& book() const { return book_; }

 private:
  const std::string subsystem_;
  const std::string category_;
  const std::shared_ptr<FakeLogBook> book_;
};

}  // namespace kelvo
