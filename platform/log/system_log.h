// The system log: one logger per subsystem and category, in the manner of
// the desktop platform's unified logging.
//
// Lines go to the systemd journal (sd-journal) with the fields MESSAGE,
// PRIORITY, SYSLOG_IDENTIFIER, KELVO_SUBSYSTEM and KELVO_CATEGORY. A process
// running in the foreground also copies every line to stderr. When the
// journal cannot be reached (no socket: a container, a test machine) a line
// goes to stderr instead; logging never fails and never reports its own
// trouble.
//
// Contract:
// - Log takes a finished text; there is no formatting here. Everything
//   logged is readable by whoever reads the journal, so callers never pass
//   secrets.
// - The level maps to a syslog priority: debug 7, info 6, notice 5 (the
//   platform's "default" level), error 3, fault 2.
//
// Ownership: a logger owns nothing but its names. Whoever makes it owns it.
// Threading: Log may be called from any thread, concurrently; a line is
// written whole (lines from several threads never interleave).
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace kelvo {

enum class LogLevel { debug, info, notice, error, fault };

// "Debug", "Info", "Notice", "Error", "Fault".
std::string_view LogLevelName(LogLevel level);
int SyslogPriority(LogLevel level);

struct LogOptions {
  // Also copy every line to stderr (the program decides; see ForProcess).
  bool foreground = false;
  // SYSLOG_IDENTIFIER; empty means the program's short name.
  std::string identifier;
  // Where the stderr copy and the fallback go.
  int stderr_fd = 2;

  // foreground when the program was asked for it or stderr is a terminal.
  static LogOptions ForProcess(bool foreground_requested);
};

class SystemLog {
 public:
  virtual ~SystemLog() = default;

  virtual const std::string& subsystem() const = 0;
  virtual const std::string& category() const = 0;
  virtual void Log(LogLevel level, std::string_view message) = 0;

  void Debug(std::string_view m) { Log(LogLevel::debug, m); }
  void Info(std::string_view m) { Log(LogLevel::info, m); }
  void Notice(std::string_view m) { Log(LogLevel::notice, m); }
  void Error(std::string_view m) { Log(LogLevel::error, m); }
  void Fault(std::string_view m) { Log(LogLevel::fault, m); }
};

// The journal logger (with the stderr copy and fallback described above).
std::unique_ptr<SystemLog> MakeSystemLog(std::string subsystem, std::string category,
                                         LogOptions options = {});

}  // namespace kelvo
