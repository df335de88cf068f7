// Command-line options of kelvo-tun.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>

namespace kelvo {

struct TunOptions {
  std::string control_socket;
  std::string adapter = "wireguard-go";
  std::string memory_handshake = "fresh";  // with --adapter memory
  std::string interface = "kelvo0";
  std::string name = "Kelvo";
  std::string probe_host = "1.1.1.1";
  uint16_t probe_port = 443;
  bool foreground = false;
  bool block_leaks = false;
  bool resume = false;          // start the remembered tunnel (tunnel_memory.h)
  std::string state_directory;  // where that tunnel is remembered
};

// Splits "HOST", "HOST:PORT" or "[V6]:PORT"; false when malformed.
bool ParseProbeTarget(const std::string& text, std::string* host, uint16_t* port);

void AddTunOptions(CLI::App& app, TunOptions& options);

}  // namespace kelvo
