#include "platform/log/system_log.h"

#include <unistd.h>

#include <utility>

#include "platform/log/journal_log.h"

namespace kelvo {

std::string_view LogLevelName(LogLevel level) {
  switch (level) {
    case LogLevel::debug: return "Debug";
    case LogLevel::info: return "Info";
    case LogLevel::notice: return "Notice";
    case LogLevel::error: return "Error";
    case LogLevel::fault: return "Fault";
  }
  return "Notice";
}

int SyslogPriority(LogLevel level) {
  switch (level) {
    case LogLevel::debug: return 7;
    case LogLevel::info: return 6;
    case LogLevel::notice: return 5;
    case LogLevel::error: return 3;
    case LogLevel::fault: return 2;
  }
  return 5;
}

LogOptions LogOptions::ForProcess(bool foreground_requested) {
  LogOptions options;
  options.foreground = foreground_requested || isatty(STDERR_FILENO) == 1;
  return options;
}

std::unique_ptr<SystemLog> MakeSystemLog(std::string subsystem, std::string category,
                                         LogOptions options) {
  return std::make_unique<JournalSystemLog>(std::move(subsystem), std::move(category),
                                            std::move(options));
}

}  // namespace kelvo
