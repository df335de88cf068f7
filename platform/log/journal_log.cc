#include "platform/log/journal_log.h"

#include <errno.h>
#include <sys/stat.h>
#include <systemd/sd-journal.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <utility>

namespace kelvo {
namespace {

// Lines longer than a pipe's atomic write would otherwise interleave.
std::mutex& StderrMutex() {
  static std::mutex mu;
  return mu;
}

std::string DefaultIdentifier() {
  const char* name = program_invocation_short_name;
  return name != nullptr && *name != '\0' ? name : "kelvo";
}

void WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nowhere left to report it
    data.remove_prefix(static_cast<size_t>(n));
  }
}

// sd_journal_sendv reports success when the socket does not exist (it drops
// the entry on purpose), so look for the socket first.
int SendToJournal(const struct iovec* fields, int count) {
  struct stat st;
  if (::stat("/run/systemd/journal/socket", &st) != 0 || !S_ISSOCK(st.st_mode)) return -ENOENT;
  return sd_journal_sendv(fields, count);
}

struct iovec Field(const std::string& s) {
  return {const_cast<char*>(s.data()), s.size()};
}

}  // namespace

std::string FormatStderrLine(std::string_view identifier, LogLevel level,
                             std::string_view subsystem, std::string_view category,
                             std::string_view message) {
  auto now = std::chrono::system_clock::now();
  time_t secs = std::chrono::system_clock::to_time_t(now);
  auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  struct tm tm_local;
  localtime_r(&secs, &tm_local);
  char stamp[40];
  size_t len = strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm_local);
  std::snprintf(stamp + len, sizeof stamp - len, ".%03lld", static_cast<long long>(millis));

  std::string line;
  line.reserve(64 + identifier.size() + subsystem.size() + category.size() + message.size());
  line += stamp;
  line += ' ';
  line += identifier;
  line += '[';
  line += std::to_string(getpid());
  line += "] <";
  line += LogLevelName(level);
  line += "> ";
  line += subsystem;
  line += ':';
  line += category;
  line += ' ';
  line += message;
  line += '\n';
  return line;
}

JournalSystemLog::JournalSystemLog(std::string subsystem, std::string category,
                                   LogOptions options, JournalSend send)
    : subsystem_(std::move(subsystem)),
      category_(std::move(category)),
      options_([&] {
        if (options.identifier.empty()) options.identifier = DefaultIdentifier();
        return std::move(options);
      }()),
      send_(send ? std::move(send) : JournalSend(SendToJournal)),
      identifier_field_("SYSLOG_IDENTIFIER=" + options_.identifier),
      subsystem_field_("KELVO_SUBSYSTEM=" + subsystem_),
      category_field_("KELVO_CATEGORY=" + category_) {}

void JournalSystemLog::Log(LogLevel level, std::string_view message) {
  std::string message_field = "MESSAGE=";
  message_field += message;
  std::string priority_field = "PRIORITY=" + std::to_string(SyslogPriority(level));
  const struct iovec fields[] = {Field(message_field), Field(priority_field),
                                 Field(identifier_field_), Field(subsystem_field_),
                                 Field(category_field_)};
  bool journaled = send_(fields, static_cast<int>(std::size(fields))) >= 0;
  if (options_.foreground || !journaled) WriteStderr(level, message);
}

void JournalSystemLog::WriteStderr(LogLevel level, std::string_view message) const {
  std::string line = FormatStderrLine(options_.identifier, level, subsystem_, category_, message);
  std::lock_guard lock(StderrMutex());
  WriteAll(options_.stderr_fd, line);
}

}  // namespace kelvo
