// The whole host in one process, every service registered on its fakes (or
// on real stores in a temporary directory), fed messages built from the
// input: random values with text that is not UTF-8, wrong types, nulls,
// deep nesting, huge claimed counts and custom tags, on every channel.
// Invariants: every request gets exactly one reply; nothing crashes or
// leaks (under the sanitizers of the fuzz build).
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "host/generated_plugin_registrant.h"
#include "host/testing/shell_fixture.h"
#include "platform/engine/method_codec.h"

namespace {

using namespace kelvo;

// Reads the input front to back; zeros once it runs out.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  uint8_t Byte() { return p_ < end_ ? *p_++ : 0; }
  uint32_t Below(uint32_t n) { return n == 0 ? 0 : Byte() % n; }
  std::string Bytes(size_t max) {
    // The length byte is read first, so what is left is counted after it.
    const size_t wanted = Below(static_cast<uint32_t>(max + 1));
    const size_t n = std::min<size_t>(wanted, end_ - p_);
    std::string s(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    return s;
  }
  bool empty() const { return p_ >= end_; }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

// Texts the services look for, so that the random messages reach past the
// first argument check.
const char* const kWords[] = {
    "key",     "value",        "options", "suiteName", "accountName", "useSecureEnclave",
    "enabled", "productIdentifier", "quantity", "applicationUsername", "paymentDiscount",
    "read",    "write",        "delete",  "deleteAll", "readAll",     "containsKey",
    "check",   "getAll",       "listen",  "cancel",    "appGroupSet", "appGroupGet",
    "appGroupRemove", "pingTunnel", "getRuntimeStats", "watchdogDebug", "setLaunchAtLogin",
    "coins",   "flutter.x",    "",        "\xff\xfe",  "\xc0\xaf",    "\xed\xa0\x80",
};

Value RandomValue(Input& in, int depth) {
  const uint32_t kind = in.Below(depth > 6 ? 9 : 14);
  switch (kind) {
    case 0: return Value();
    case 1: return Value(in.Byte() % 2 == 0);
    case 2: return Value(static_cast<int64_t>(static_cast<int8_t>(in.Byte())) * 3);
    case 3: return Value(int64_t{1} << (in.Byte() % 63));
    case 4: return Value(static_cast<double>(in.Byte()) / 7.0);
    case 5: return Value(std::string(kWords[in.Below(std::size(kWords))]));
    case 6: return Value(in.Bytes(24));  // any bytes: often not UTF-8
    case 7: return Value(Value::Bytes(in.Byte(), 0xab));
    case 8: return Value(Value::Int32List(in.Byte() % 8, -1));
    case 9:
    case 10: {
      ValueList list;
      for (uint32_t n = in.Below(6); n > 0 && !in.empty(); --n) list.push_back(RandomValue(in, depth + 1));
      return Value(std::move(list));
    }
    case 11:
    case 12: {
      ValueMap map;
      for (uint32_t n = in.Below(5); n > 0 && !in.empty(); --n) {
        Value key = in.Byte() % 4 == 0 ? RandomValue(in, depth + 1)
                                       : Value(std::string(kWords[in.Below(std::size(kWords))]));
        map.append(std::move(key), RandomValue(in, depth + 1));
      }
      return Value(std::move(map));
    }
    default: {
      // A custom tag: the services' own records, and tags nobody knows.
      uint8_t tag = static_cast<uint8_t>(128 + in.Below(128));
      return Value::Custom(tag, RandomValue(in, depth + 1));
    }
  }
}

// Nesting far past the codec's limit, or a count far past the message.
std::vector<uint8_t> HostileBytes(Input& in) {
  std::vector<uint8_t> out;
  switch (in.Below(3)) {
    case 0:
      out.assign(100 + in.Byte(), 12);
      out.insert(out.begin() + 1, 1);
      break;
    case 1:
      out = {12, 255, 0xff, 0xff, 0xff, 0x7f, 0};
      break;
    default: {
      std::string raw = in.Bytes(64);
      out.assign(raw.begin(), raw.end());
    }
  }
  return out;
}

std::string* g_dir = nullptr;

void RemoveDir() {
  std::error_code ignored;
  if (g_dir) std::filesystem::remove_all(*g_dir, ignored);
}

struct Host {
  Host() {
    char pattern[] = "/tmp/kelvo-host-fuzz-XXXXXX";
    const char* dir = mkdtemp(pattern);
    if (dir == nullptr) std::abort();
    g_dir = new std::string(dir);
    std::atexit(RemoveDir);
    // Every path the services derive from the environment lands in here.
    setenv("HOME", dir, 1);
    setenv("XDG_DATA_HOME", (std::string(dir) + "/data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (std::string(dir) + "/config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", dir, 1);
    setenv("XDG_CACHE_HOME", (std::string(dir) + "/cache").c_str(), 1);
    window = fixture.MakeWindow();
    window->AwakeFromNib();
    for (const std::string& name : fixture.messenger->NativeChannels()) {
      // Opening URLs would start programs outside this process.
      if (name.find("launchUrl") != std::string::npos) continue;
      channels.push_back(name);
    }
    if (channels.empty()) std::abort();
  }

  kelvo::testing::ShellFixture fixture;
  std::unique_ptr<MainFlutterWindow> window;
  std::vector<std::string> channels;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Host* host = new Host();  // one host for the whole run, like the process
  Input in(data, size);
  int requests = 0;
  auto replies = std::make_shared<std::vector<int>>();
  while (!in.empty() && requests < 8) {
    const std::string& channel = host->channels[in.Below(host->channels.size())];
    std::vector<uint8_t> message;
    const uint32_t shape = in.Below(8);
    if (shape == 0) {
      message = HostileBytes(in);
    } else if (channel.rfind("dev.flutter.pigeon.", 0) == 0) {
      message = StandardCodec::Instance().Encode(RandomValue(in, 0));
    } else {
      Value method = shape == 1 ? RandomValue(in, 0)
                                : Value(std::string(kWords[in.Below(std::size(kWords))]));
      std::vector<uint8_t> name = StandardCodec::Instance().Encode(method);
      std::vector<uint8_t> args = StandardCodec::Instance().Encode(RandomValue(in, 0));
      message = std::move(name);
      message.insert(message.end(), args.begin(), args.end());
    }
    replies->push_back(0);
    const size_t slot = replies->size() - 1;
    host->fixture.messenger->SendFromInterface(channel, std::move(message),
                                               [replies, slot](Payload) { ++(*replies)[slot]; });
    ++requests;
  }
  // Long enough for every delayed reply (purchases settle after seconds).
  host->fixture.dispatch.AdvanceBy(Seconds(120));
  for (int count : *replies) {
    if (count != 1) std::abort();
  }
  return 0;
}
