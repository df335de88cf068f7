// Request/reply latency through the engine socket (client -> the server's
// main queue, which reads the request, runs the handler and writes the
// reply -> client) against the floor: a raw Unix socket ping-pong of the
// same frame size with a thread echoing. The three take turns in blocks of
// calls within each of several rounds, every thread on one CPU; prints
// p50/p99 in microseconds per round and the ratios (median over the rounds,
// with their spread). For diagnosis it also times the socket alone, with
// handlers run straight on the server's I/O thread.
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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
constexpr int kCalls = 4000;  // per round and side
constexpr int kBlock = 200;   // calls in a row before the next side's turn
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

// A raw Unix socket pair with a thread echoing every frame back.
class RawPingPong {
 public:
  explicit RawPingPong(size_t frame_size) : out_(frame_size, 0x5a), in_(frame_size) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_) != 0) std::abort();
    echo_ = std::thread([fd = fds_[1], frame_size] {
      std::vector<uint8_t> buf(frame_size);
      while (ReadAll(fd, buf.data(), buf.size()) && WriteAll(fd, buf.data(), buf.size())) {
      }
    });
  }
  ~RawPingPong() {
    ::shutdown(fds_[0], SHUT_RDWR);
    echo_.join();
    ::close(fds_[0]);
    ::close(fds_[1]);
  }

  // One round trip, in microseconds.
  double Call() {
    auto start = Clock::now();
    if (!WriteAll(fds_[0], out_.data(), out_.size()) ||
        !ReadAll(fds_[0], in_.data(), in_.size())) {
      std::abort();
    }
    return Micros(Clock::now() - start);
  }

 private:
  int fds_[2] = {-1, -1};
  std::thread echo_;
  std::vector<uint8_t> out_, in_;
};

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

// An engine socket server echoing on kChannel, its handler on the main
// queue (run by a thread of its own) or straight on the server's I/O
// thread, and a client of it.
class EngineRoundTrip {
 public:
  EngineRoundTrip(const std::string& path, bool main_queue)
      : dispatch_(1),
        server_(path, main_queue ? dispatch_.MainQueue() : std::make_shared<InlineQueue>(),
                nullptr),
        message_(std::in_place, kPayload, 0x5a) {
    server_.SetMessageHandler(kChannel, [](Payload message, BinaryReply reply) {
      reply(std::move(message));
    });
    if (auto error = server_.Start()) Fail(*error);
    main_loop_ = std::thread([this] { dispatch_.RunMain(); });
    if (auto error = client_.Connect(path)) Fail(*error);
  }
  ~EngineRoundTrip() {
    client_.Close();
    server_.Stop();
    dispatch_.StopMain();
    main_loop_.join();
  }

  double Call() {
    auto start = Clock::now();
    auto r = client_.SendAndWait(kChannel, message_, std::chrono::seconds(10));
    if (!r.ok() || !r.reply || r.reply->size() != kPayload) std::abort();
    return Micros(Clock::now() - start);
  }

 private:
  [[noreturn]] static void Fail(const std::string& error) {
    std::fprintf(stderr, "engine socket bench: %s\n", error.c_str());
    std::exit(1);
  }

  AsioDispatch dispatch_;
  EngineSocketServer server_;
  EngineSocketClient client_;
  std::thread main_loop_;
  Payload message_;
};

// Puts the calling thread, and the threads it starts from now on, on `cpu`;
// false where that cannot be done.
bool RunOnCpu(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return ::sched_setaffinity(0, sizeof set, &set) == 0;
}

}  // namespace
}  // namespace kelvo

int main() {
  using namespace kelvo;
  char dir[] = "/tmp/kelvo-bench-XXXXXX";
  if (::mkdtemp(dir) == nullptr) return 1;
  const std::string base = dir;

  size_t frame_size =
      EncodeFrame(Frame{FrameKind::kMessage, 1, kChannel, Payload(std::in_place, kPayload, 0)})
          .size();
  std::printf("engine_socket round trip, %d calls per round, %zu-byte frames\n", kCalls,
              frame_size);
  std::vector<double> p50_ratios, p99_ratios;
  {
    // Every thread on one CPU, so both sides pay the same context switches
    // and what differs is the socket's own work. Left to the scheduler, a
    // wake-up across CPUs (10 to 20 us on this kind of machine) fell on the
    // two sides differently from run to run, and the p50 ratio swung from
    // 1.2 to 4.6 between runs.
    const bool pinned = RunOnCpu(0);
    std::printf("%s\n", pinned ? "all threads on CPU 0" : "threads placed by the scheduler");
    RawPingPong raw(frame_size);
    EngineRoundTrip engine(base + "/engine.sock", true);
    EngineRoundTrip socket_only(base + "/inline.sock", false);
    for (int i = 0; i < kWarmup; ++i) {
      raw.Call();
      engine.Call();
      socket_only.Call();
    }
    for (int round = 1; round <= kBenchRounds; ++round) {
      // Blocks of calls taking turns, so that all three see the same
      // moments of a shared machine.
      std::vector<double> raw_us, engine_us, socket_us;
      for (int done = 0; done < kCalls; done += kBlock) {
        for (int i = 0; i < kBlock; ++i) raw_us.push_back(raw.Call());
        for (int i = 0; i < kBlock; ++i) engine_us.push_back(engine.Call());
        for (int i = 0; i < kBlock; ++i) socket_us.push_back(socket_only.Call());
      }
      Percentiles r = Summarize(std::move(raw_us));
      Percentiles e = Summarize(std::move(engine_us));
      Percentiles o = Summarize(std::move(socket_us));
      std::printf("round %d: raw p50 %.1f p99 %.1f us | engine p50 %.1f p99 %.1f us"
                  " | without the main queue p50 %.1f p99 %.1f us\n",
                  round, r.p50, r.p99, e.p50, e.p99, o.p50, o.p99);
      p50_ratios.push_back(e.p50 / r.p50);
      p99_ratios.push_back(e.p99 / r.p99);
    }
  }
  std::filesystem::remove_all(base);
  PrintRoundRatio("engine_socket_p50_vs_raw", p50_ratios);
  PrintRoundRatio("engine_socket_p99_vs_raw", p99_ratios);
  return 0;
}
