// The firewall mark the extension's own sockets carry, so that they go
// around its tunnel: policy routing sends only unmarked packets into the
// tunnel, and wireguard-go marks its encrypted UDP the same way. The probe
// and the configuration requests must reach the network while the tunnel
// is dead, which is exactly when they are needed.
//
// Written by the tunnel adapter when policy routing goes on (the device's
// mark) and off (0); read each time a socket is made, so a socket made
// without policy routing carries no mark.
//
// Threading: lock-free; any thread.
#pragma once

#include <atomic>
#include <cstdint>

namespace kelvo {

class SocketMark {
 public:
  void Set(uint32_t mark) { mark_.store(mark, std::memory_order_relaxed); }
  uint32_t Get() const { return mark_.load(std::memory_order_relaxed); }

  // Puts the current mark on `fd` (SO_MARK; needs CAP_NET_ADMIN). No mark:
  // nothing to do. Returns 0 or the errno of the failure.
  int ApplyTo(int fd) const;

 private:
  std::atomic<uint32_t> mark_{0};
};

}  // namespace kelvo
