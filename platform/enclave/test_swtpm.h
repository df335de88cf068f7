// A software TPM (swtpm) for tests, on Unix sockets in its own temporary
// directory with its own state, already started up. Stopped (SIGTERM,
// reaped) by Stop or on destruction; the state stays until destruction,
// so a restarted TPM is the same TPM.
// Threading: one owner thread.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace kelvo {

class TestSwtpm {
 public:
  TestSwtpm();
  ~TestSwtpm();
  TestSwtpm(const TestSwtpm&) = delete;
  TestSwtpm& operator=(const TestSwtpm&) = delete;

  static bool Installed();

  // Starts swtpm and waits (at most 5 s) for its socket. Returns why it
  // could not.
  std::optional<std::string> Start();
  void Stop();
  // The tpm2-tss TCTI string for KELVO_TPM_TCTI.
  std::string tcti() const;

 private:
  std::string dir_;
  pid_t pid_ = -1;
};

}  // namespace kelvo
