// Request/reply latency through the engine socket (client -> server I/O
// thread -> main queue handler -> reply -> client) against the floor: a raw
// Unix socket ping-pong of the same frame size with a thread echoing.
// The three are measured in turn in each of several rounds; prints p50/p99
// in microseconds per round and the ratios (median over the rounds, with
// their spread). For diagnosis it also times the socket alone, with handlers run straight
// on the server's I/O thread instead of hopping to the main queue.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/ratio_reporter.h"
#include "platform/dispatch/asio_dispatch.h"
#include "platform/engine/engine_socket.h"
#include "platform/engine/frame.h"

namespace kelvo {
namespace {

constexpr int kWarmup = 1000;
constexpr int kCalls = 4000;  // per round
constexpr size_t kPayload = 64;
const char kChannel[] = "bench/echo";

using Clock = std::chrono::steady_clock;

struct Percentiles {
  double p50 = 0;
  double p99 = 0;
};

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

Percentiles Summarize(std::vector<double> us) {
  std::sort(us.begin(), us.end());
  return {us[us.size() / 2], us[us.size() * 99 / 100]};
}

bool WriteAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool ReadAll(int fd, uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t r = ::read(fd, p, n);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

Percentiles RawPingPong(size_t frame_size) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
  std::thread echo([fd = fds[1], frame_size] {
    std::vector<uint8_t> buf(frame_size);
    while (ReadAll(fd, buf.data(), buf.size()) && WriteAll(fd, buf.data(), buf.size())) {
    }
  });
  std::vector<uint8_t> out(frame_size, 0x5a), in(frame_size);
  std::vector<double> us;
  us.reserve(kCalls);
  for (int i = 0; i < kWarmup + kCalls; ++i) {
    auto start = Clock::now();
    if (!WriteAll(fds[0], out.data(), out.size()) || !ReadAll(fds[0], in.data(), in.size())) {
      std::abort();
    }
    if (i >= kWarmup) us.push_back(Micros(Clock::now() - start));
  }
  ::shutdown(fds[0], SHUT_RDWR);
  echo.join();
  ::close(fds[0]);
  ::close(fds[1]);
  return Summarize(std::move(us));
}

// Runs work at once on the posting thread.
class InlineQueue : public Queue {
 public:
  const std::string& label() const override { return label_; }
  void Async(Work work) override { work(); }
  void AsyncAfter(Duration, Work work) override { work(); }
  bool IsCurrent() const override { return true; }

 private:
  std::string label_ = "inline";
};

Percentiles EngineRoundTrip(const std::string& path, bool main_queue) {
  AsioDispatch dispatch(1);
  std::shared_ptr<Queue> queue =
      main_queue ? dispatch.MainQueue() : std::make_shared<InlineQueue>();
  EngineSocketServer server(path, queue, nullptr);
  server.SetMessageHandler(kChannel, [](Payload message, BinaryReply reply) {
    reply(std::move(message));
  });
  if (auto error = server.Start()) {
    std::fprintf(stderr, "engine socket bench: %s\n", error->c_str());
    std::exit(1);
  }
  std::thread main_loop([&] { dispatch.RunMain(); });
  EngineSocketClient client;
  if (auto error = client.Connect(path)) {
    std::fprintf(stderr, "engine socket bench: %s\n", error->c_str());
    std::exit(1);
  }
  Payload message(std::in_place, kPayload, 0x5a);
  std::vector<double> us;
  us.reserve(kCalls);
  for (int i = 0; i < kWarmup + kCalls; ++i) {
    auto start = Clock::now();
    auto r = client.SendAndWait(kChannel, message, std::chrono::seconds(10));
    if (!r.ok() || !r.reply || r.reply->size() != kPayload) std::abort();
    if (i >= kWarmup) us.push_back(Micros(Clock::now() - start));
  }
  client.Close();
  server.Stop();
  dispatch.StopMain();
  main_loop.join();
  return Summarize(std::move(us));
}

}  // namespace
}  // namespace kelvo

int main() {
  using namespace kelvo;
  char dir[] = "/tmp/kelvo-bench-XXXXXX";
  if (::mkdtemp(dir) == nullptr) return 1;
  std::string path = std::string(dir) + "/engine.sock";

  size_t frame_size =
      EncodeFrame(Frame{FrameKind::kMessage, 1, kChannel, Payload(std::in_place, kPayload, 0)})
          .size();
  std::printf("engine_socket round trip, %d calls per round, %zu-byte frames\n", kCalls,
              frame_size);
  std::vector<double> p50_ratios, p99_ratios;
  for (int round = 1; round <= kBenchRounds; ++round) {
    Percentiles raw = RawPingPong(frame_size);
    Percentiles engine = EngineRoundTrip(path, true);
    Percentiles socket_only = EngineRoundTrip(path, false);
    std::printf("round %d: raw p50 %.1f p99 %.1f us | engine p50 %.1f p99 %.1f us"
                " | without the main queue p50 %.1f p99 %.1f us\n",
                round, raw.p50, raw.p99, engine.p50, engine.p99, socket_only.p50,
                socket_only.p99);
    p50_ratios.push_back(engine.p50 / raw.p50);
    p99_ratios.push_back(engine.p99 / raw.p99);
  }
  ::rmdir(dir);
  PrintRoundRatio("engine_socket_p50_vs_raw", p50_ratios);
  PrintRoundRatio("engine_socket_p99_vs_raw", p99_ratios);
  return 0;
}
