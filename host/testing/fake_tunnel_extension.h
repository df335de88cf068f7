// Test helper: a tunnel extension's control socket, served from the test
// process on a thread of its own, with its profile in the App Group's
// tunnels/ directory. It answers "status" with the status the test sets
// and "handleAppMessage" as the extension does: 0x00 the runtime
// configuration (no data while there is none), 0x01 "pong", 0x02 the
// report the test sets, anything else no data; or, while held, nothing.
// Threading: setters are safe from any thread.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/asio_dispatch.h"
#include "platform/engine/engine_socket.h"
#include "platform/tunnels/tunnel_manager.h"

namespace kelvo::testing {

class FakeTunnelExtension {
 public:
  // Serves `socket_path` and writes the profile `profile_file` into
  // `tunnels_dir`. ok() tells whether both worked.
  FakeTunnelExtension(const std::string& tunnels_dir, const std::string& profile_file,
                      const std::string& socket_path, TunnelStatus status);
  ~FakeTunnelExtension();

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }

  void set_status(TunnelStatus status) { status_ = status; }
  void set_runtime_configuration(std::optional<std::string> text);
  void set_report(std::string report);
  // While held, "handleAppMessage" requests are kept unanswered.
  void set_hold(bool hold);
  // The messages "handleAppMessage" received, in order.
  std::vector<std::vector<uint8_t>> messages() const;

 private:
  AsioDispatch dispatch_{1};
  std::unique_ptr<EngineSocketServer> server_;
  std::thread loop_;
  std::atomic<TunnelStatus> status_;
  mutable std::mutex mu_;
  std::optional<std::string> runtime_configuration_;
  std::string report_ =
      "APPGROUP suite=ok wd_enabled=1 base=NIL token=NIL timer=true conf=NIL body=[NIL]";
  std::vector<std::vector<uint8_t>> messages_;
  bool hold_ = false;
  std::vector<BinaryReply> held_;
  std::string error_;
};

}  // namespace kelvo::testing
