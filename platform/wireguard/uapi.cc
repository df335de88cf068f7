#include "platform/wireguard/uapi.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

namespace kelvo {
namespace {

// Far beyond any real answer (a few hundred bytes per peer); a bound keeps
// a confused peer from filling memory.
constexpr size_t kMaxAnswer = 4 << 20;

std::string WireEndpoint(const IPAddress& address, uint16_t port) {
  const std::string host = address.ToString();
  return (address.family == IPAddress::Family::kV6 ? "[" + host + "]" : host) + ":" +
         std::to_string(port);
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

Expected<std::vector<IPAddress>, std::string> ResolveHostWithSystem(const std::string& host) {
  if (auto literal = IPAddress::Parse(host)) return std::vector<IPAddress>{*literal};
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_ADDRCONFIG;
  addrinfo* list = nullptr;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &list);
  if (rc != 0) {
    return MakeUnexpected(std::string(rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc)));
  }
  std::vector<IPAddress> out;
  for (addrinfo* ai = list; ai; ai = ai->ai_next) {
    IPAddress address;
    if (ai->ai_family == AF_INET) {
      address.family = IPAddress::Family::kV4;
      const auto* sin = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
      std::memcpy(address.bytes.data(), &sin->sin_addr, 4);
    } else if (ai->ai_family == AF_INET6) {
      address.family = IPAddress::Family::kV6;
      const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(ai->ai_addr);
      std::memcpy(address.bytes.data(), &sin6->sin6_addr, 16);
    } else {
      continue;
    }
    if (std::find(out.begin(), out.end(), address) == out.end()) out.push_back(address);
  }
  freeaddrinfo(list);
  if (out.empty()) return MakeUnexpected(std::string("no IPv4 or IPv6 address"));
  return out;
}

Expected<ResolvedEndpoints, std::string> ResolveEndpoints(const TunnelConfiguration& config,
                                                          const HostResolver& resolver) {
  ResolvedEndpoints out;
  for (size_t i = 0; i < config.peers.size(); ++i) {
    const std::optional<Endpoint>& endpoint = config.peers[i].endpoint;
    if (!endpoint) {
      out.emplace_back();
      continue;
    }
    if (auto literal = IPAddress::Parse(endpoint->host)) {
      out.push_back(WireEndpoint(*literal, endpoint->port));
      continue;
    }
    auto addresses = resolver(endpoint->host);
    if (!addresses || addresses->empty()) {
      return MakeUnexpected(
          "Endpoint host '" + endpoint->host + "' of peer " + std::to_string(i + 1) +
          " could not be resolved: " + (addresses ? std::string("no address") : addresses.error()));
    }
    out.push_back(WireEndpoint(addresses->front(), endpoint->port));
  }
  return out;
}

std::string RenderUapiSet(const TunnelConfiguration& config, const ResolvedEndpoints& endpoints,
                          std::optional<uint32_t> fwmark) {
  std::string out = "set=1\n";
  out += "private_key=" + WireGuardKeyToHex(config.interface.private_key) + "\n";
  if (config.interface.listen_port) {
    out += "listen_port=" + std::to_string(*config.interface.listen_port) + "\n";
  }
  if (fwmark) out += "fwmark=" + std::to_string(*fwmark) + "\n";
  out += "replace_peers=true\n";
  for (size_t i = 0; i < config.peers.size(); ++i) {
    const PeerConfiguration& peer = config.peers[i];
    out += "public_key=" + WireGuardKeyToHex(peer.public_key) + "\n";
    if (peer.preshared_key) out += "preshared_key=" + WireGuardKeyToHex(*peer.preshared_key) + "\n";
    if (i < endpoints.size() && endpoints[i]) out += "endpoint=" + *endpoints[i] + "\n";
    out +=
        "persistent_keepalive_interval=" + std::to_string(peer.persistent_keepalive.value_or(0)) +
        "\n";
    out += "replace_allowed_ips=true\n";
    for (const IPAddressRange& range : peer.allowed_ips) {
      out += "allowed_ip=" + range.ToString() + "\n";
    }
  }
  out += "\n";
  return out;
}

Expected<UapiAnswer, std::string> ParseUapiAnswer(std::string_view text) {
  if (text.size() < 2 || text.substr(text.size() - 2) != "\n\n") {
    return MakeUnexpected(std::string("the answer does not end with an empty line"));
  }
  const std::string_view lines = text.substr(0, text.size() - 1);  // each line ends "\n"
  const size_t last_start = lines.rfind('\n', lines.size() - 2);
  const size_t errno_at = last_start == std::string_view::npos ? 0 : last_start + 1;
  std::string_view last = lines.substr(errno_at, lines.size() - 1 - errno_at);
  constexpr std::string_view kErrno = "errno=";
  if (last.substr(0, kErrno.size()) != kErrno) {
    return MakeUnexpected(std::string("the answer does not end with an errno line"));
  }
  last.remove_prefix(kErrno.size());
  UapiAnswer answer;
  auto [end, ec] = std::from_chars(last.data(), last.data() + last.size(), answer.error_code);
  if (last.empty() || ec != std::errc() || end != last.data() + last.size()) {
    return MakeUnexpected(std::string("the answer has a malformed errno line"));
  }
  answer.body = std::string(lines.substr(0, errno_at));
  int line = 1;
  for (size_t start = 0; start < answer.body.size(); ++line) {
    const size_t newline = answer.body.find('\n', start);
    const size_t equals = answer.body.find('=', start);
    if (equals == std::string::npos || equals == start || equals > newline) {
      return MakeUnexpected("line " + std::to_string(line) + " of the answer is not key=value");
    }
    start = newline + 1;
  }
  return answer;
}

bool UapiClient::Reachable() const {
  Fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  if (fd.get() < 0 || path_.size() >= sizeof address.sun_path) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
  return connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

Expected<UapiAnswer, std::string> UapiClient::Exchange(const std::string& request) const {
  auto failure = [this](const std::string& what, int code) {
    return MakeUnexpected(what + " " + path_ + ": " + std::strerror(code));
  };
  Fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return failure("Cannot open a socket for", errno);
  sockaddr_un address{};
  if (path_.size() >= sizeof address.sun_path) return failure("Cannot connect to", ENAMETOOLONG);
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout_.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeout_.count() % 1000) * 1000);
  setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return failure("Cannot connect to", errno);
  }
  size_t sent = 0;
  while (sent < request.size()) {
    ssize_t n = send(fd.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return failure("Cannot send to", errno == EAGAIN ? ETIMEDOUT : errno);
    sent += static_cast<size_t>(n);
  }
  std::string answer;
  char buf[4096];
  size_t end;
  while ((end = answer.find("\n\n")) == std::string::npos) {
    ssize_t n = recv(fd.get(), buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return failure("No answer from", errno == EAGAIN ? ETIMEDOUT : errno);
    if (n == 0) return failure("Incomplete answer from", ECONNRESET);
    answer.append(buf, static_cast<size_t>(n));
    if (answer.size() > kMaxAnswer) return failure("Oversized answer from", EMSGSIZE);
  }
  auto parsed = ParseUapiAnswer(std::string_view(answer).substr(0, end + 2));
  if (!parsed) return MakeUnexpected("Bad answer from " + path_ + ": " + parsed.error());
  return parsed;
}

std::optional<std::string> UapiClient::Set(const std::string& request) const {
  auto answer = Exchange(request);
  if (!answer) return answer.error();
  if (answer->error_code != 0) {
    return "The configuration was refused: errno=" + std::to_string(answer->error_code) + " (" +
           std::strerror(std::abs(answer->error_code)) + ")";
  }
  return std::nullopt;
}

Expected<std::string, std::string> UapiClient::Get() const {
  auto answer = Exchange("get=1\n\n");
  if (!answer) return MakeUnexpected(answer.error());
  if (answer->error_code != 0) {
    return MakeUnexpected(
        "The runtime configuration was refused: errno=" + std::to_string(answer->error_code) +
        " (" + std::strerror(std::abs(answer->error_code)) + ")");
  }
  return std::move(answer->body);
}

}  // namespace kelvo
