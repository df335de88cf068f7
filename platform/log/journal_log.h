// Internal to the log layer: the journal logger with its sender made
// replaceable, so that tests can see the fields and force the fallback.
#pragma once

#include <sys/uio.h>

#include <functional>
#include <string>

#include "platform/log/system_log.h"

namespace kelvo {

// Sends one journal entry; 0 on success, a negative errno otherwise (the
// contract of sd_journal_sendv).
using JournalSend = std::function<int(const struct iovec* fields, int count)>;

class JournalSystemLog : public SystemLog {
 public:
  // A null `send` means the system journal.
  JournalSystemLog(std::string subsystem, std::string category, LogOptions options,
                   JournalSend send = nullptr);

  const std::string& subsystem() const override { return subsystem_; }
  const std::string& category() const override { return category_; }
  void Log(LogLevel level, std::string_view message) override;

 private:
  void WriteStderr(LogLevel level, std::string_view message) const;

  const std::string subsystem_;
  const std::string category_;
  const LogOptions options_;
  const JournalSend send_;
  // Prebuilt "FIELD=value" strings that never change.
  const std::string identifier_field_;
  const std::string subsystem_field_;
  const std::string category_field_;
};

// One stderr line: "<local time> <identifier>[<pid>] <Level> <subsystem>:<category> <message>".
std::string FormatStderrLine(std::string_view identifier, LogLevel level,
                             std::string_view subsystem, std::string_view category,
                             std::string_view message);

}  // namespace kelvo
