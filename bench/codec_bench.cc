// The standard codec against msgpack-c on the same data, and the codec on a
// large byte payload against plain copying. Prints times per operation and
// the ratios (higher is better for us) at the end.
//
// What is compared, so that neither side gets a free pass:
// - Both sides start from and end with the same in-memory tree, a
//   kelvo::Value holding a map of 1,000 entries (string keys; strings,
//   ints, doubles, small lists and small maps as values).
// - Encode: each side walks that tree and writes a fresh buffer per
//   iteration: ours through StandardCodec::Encode, msgpack's through its
//   packer into a new sbuffer.
// - Decode: each side must give back an owned Value that no longer needs
//   the input bytes. msgpack unpacks into an object_handle (its zone-backed
//   object tree, what msgpack users normally hold) and that tree is then
//   converted into a Value. The ratio is taken against that path. A msgpack
//   visitor that builds the Value straight from the parser, with no zone in
//   between, is timed too and printed for reference (on this data it is the
//   slower of msgpack's two ways, so the ratio uses the faster one).
// - The 1 MiB payload: encode+decode must make two owned 1 MiB buffers, the
//   floor is copying 1 MiB twice into buffers that exist. With glibc's
//   default settings every fresh 1 MiB buffer is handed back to the kernel
//   when freed and faulted in again page by page on the next allocation, so
//   any owned copy (a plain std::vector copy too) is dominated by page
//   faults. Those numbers are printed first, next to two plain vector
//   copies. The ratio is then measured with the allocator told to keep
//   freed memory (mallopt), which is what a process moving large messages
//   would set, so that it shows the codec's own cost over the copies.
// - The paths run in interleaved rounds: the times printed are each path's
//   best round, and every ratio is taken per round (both sides measured in
//   the same round) and printed as the median over the rounds with its
//   spread, so that a busy machine (the other core building) shows as
//   spread rather than as the figure.
#define MSGPACK_NO_BOOST
#include <malloc.h>

#include <msgpack.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "benchmark/benchmark.h"
#include "platform/engine/standard_codec.h"
#include "platform/engine/value.h"

namespace kelvo {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kEntries = 1000;
constexpr size_t kPayloadBytes = size_t{1} << 20;

Value MakeDocument() {
  static const char* const kWords[] = {"tunnel", "peer", "handshake", "endpoint",
                                       "allowed_ips", "keepalive", "dns", "mtu"};
  ValueMap map;
  map.reserve(kEntries);
  for (int i = 0; i < kEntries; ++i) {
    std::string key = std::string(kWords[i % 8]) + "_" + std::to_string(i);
    Value value;
    switch (i % 5) {
      case 0:
        value = "value " + std::to_string(i) + " of the settings document";
        break;
      case 1:  // mostly int32 on the wire, every fourth one needs int64
        value = i % 4 == 1 ? Value(int64_t{1} << 40 | i) : Value(i * 7919 - 500000);
        break;
      case 2:
        value = i * 0.25 + 0.125;
        break;
      case 3:
        value = ValueList{i, "item", i / 3.0, i % 2 == 0};
        break;
      case 4:
        value = ValueMap{{"id", i}, {"name", "entry " + std::to_string(i)},
                         {"tags", ValueList{"a", "bc"}}};
        break;
    }
    map.append(std::move(key), std::move(value));
  }
  return Value(std::move(map));
}

// ---- msgpack side ----

using Packer = msgpack::packer<msgpack::sbuffer>;

// msgpack's pack_double writes an integral double as an integer, which
// would turn Value(1.0) into Value(1); a type-keeping user writes float64.
void PackFloat64(msgpack::sbuffer& buf, double d) {
  char bytes[9];
  bytes[0] = static_cast<char>(0xcb);
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  bits = __builtin_bswap64(bits);  // msgpack is big-endian
  std::memcpy(bytes + 1, &bits, sizeof bits);
  buf.write(bytes, sizeof bytes);
}

void Pack(msgpack::sbuffer& buf, const Value& v) {
  using T = Value::Type;
  Packer pk(buf);
  switch (v.type()) {
    case T::kNull:
      pk.pack_nil();
      return;
    case T::kBool:
      v.as_bool() ? pk.pack_true() : pk.pack_false();
      return;
    case T::kInt:
      pk.pack_int64(v.as_int());  // msgpack picks the shortest form
      return;
    case T::kDouble:
      PackFloat64(buf, v.as_double());
      return;
    case T::kString: {
      const auto& s = v.as_string();
      pk.pack_str(static_cast<uint32_t>(s.size()));
      pk.pack_str_body(s.data(), static_cast<uint32_t>(s.size()));
      return;
    }
    case T::kBytes: {
      const auto& b = v.as_bytes();
      pk.pack_bin(static_cast<uint32_t>(b.size()));
      pk.pack_bin_body(reinterpret_cast<const char*>(b.data()), static_cast<uint32_t>(b.size()));
      return;
    }
    case T::kList:
      pk.pack_array(static_cast<uint32_t>(v.as_list().size()));
      for (const auto& item : v.as_list()) Pack(buf, item);
      return;
    case T::kMap:
      pk.pack_map(static_cast<uint32_t>(v.as_map().size()));
      for (const auto& [k, item] : v.as_map()) {
        Pack(buf, k);
        Pack(buf, item);
      }
      return;
    default:
      std::fprintf(stderr, "codec bench: the document holds a type msgpack is not given\n");
      std::abort();
  }
}

Value FromObject(const msgpack::object& o) {
  switch (o.type) {
    case msgpack::type::NIL:
      return Value();
    case msgpack::type::BOOLEAN:
      return Value(o.via.boolean);
    case msgpack::type::POSITIVE_INTEGER:
      return Value(static_cast<int64_t>(o.via.u64));
    case msgpack::type::NEGATIVE_INTEGER:
      return Value(o.via.i64);
    case msgpack::type::FLOAT32:
    case msgpack::type::FLOAT64:
      return Value(o.via.f64);
    case msgpack::type::STR:
      return Value(std::string(o.via.str.ptr, o.via.str.size));
    case msgpack::type::BIN: {
      const auto* p = reinterpret_cast<const uint8_t*>(o.via.bin.ptr);
      return Value(Value::Bytes(p, p + o.via.bin.size));
    }
    case msgpack::type::ARRAY: {
      ValueList list;
      list.reserve(o.via.array.size);
      for (uint32_t i = 0; i < o.via.array.size; ++i) list.push_back(FromObject(o.via.array.ptr[i]));
      return Value(std::move(list));
    }
    case msgpack::type::MAP: {
      ValueMap map;
      map.reserve(o.via.map.size);
      for (uint32_t i = 0; i < o.via.map.size; ++i) {
        map.append(FromObject(o.via.map.ptr[i].key), FromObject(o.via.map.ptr[i].val));
      }
      return Value(std::move(map));
    }
    default:
      std::abort();
  }
}

// Builds a Value straight from msgpack's parser events.
class ValueBuilder : public msgpack::null_visitor {
 public:
  bool visit_nil() { return Emit(Value()); }
  bool visit_boolean(bool v) { return Emit(Value(v)); }
  bool visit_positive_integer(uint64_t v) { return Emit(Value(static_cast<int64_t>(v))); }
  bool visit_negative_integer(int64_t v) { return Emit(Value(v)); }
  bool visit_float32(float v) { return Emit(Value(double{v})); }
  bool visit_float64(double v) { return Emit(Value(v)); }
  bool visit_str(const char* p, uint32_t n) { return Emit(Value(std::string(p, n))); }
  bool visit_bin(const char* p, uint32_t n) {
    const auto* b = reinterpret_cast<const uint8_t*>(p);
    return Emit(Value(Value::Bytes(b, b + n)));
  }
  bool start_array(uint32_t n) {
    ValueList list;
    list.reserve(n);
    stack_.push_back({Value(std::move(list)), Value(), false});
    return true;
  }
  bool end_array() { return Pop(); }
  bool start_map(uint32_t n) {
    ValueMap map;
    map.reserve(n);
    stack_.push_back({Value(std::move(map)), Value(), false});
    return true;
  }
  bool start_map_key() {
    stack_.back().want_key = true;
    return true;
  }
  bool start_map_value() {
    stack_.back().want_key = false;
    return true;
  }
  bool end_map() { return Pop(); }
  void parse_error(size_t, size_t) { failed_ = true; }
  void insufficient_bytes(size_t, size_t) { failed_ = true; }

  bool failed() const { return failed_; }
  Value Take() { return std::move(root_); }

 private:
  struct Open {
    Value container;
    Value key;
    bool want_key;
  };

  bool Emit(Value v) {
    if (stack_.empty()) {
      root_ = std::move(v);
      return true;
    }
    Open& top = stack_.back();
    if (top.container.is_list()) {
      top.container.as_list().push_back(std::move(v));
    } else if (top.want_key) {
      top.key = std::move(v);
    } else {
      top.container.as_map().append(std::move(top.key), std::move(v));
    }
    return true;
  }

  bool Pop() {
    Value done = std::move(stack_.back().container);
    stack_.pop_back();
    return Emit(std::move(done));
  }

  std::vector<Open> stack_;
  Value root_;
  bool failed_ = false;
};

// ---- timing ----

// One timed path: its time per call in each round, and the best of them.
struct Contender {
  const char* name;
  std::function<void()> run;
  double best_ns = 1e300;
  std::vector<double> round_ns = {};
};

// baseline / measured for every round, so higher is better for us.
std::vector<double> RoundSpeedups(const Contender& measured, const Contender& baseline) {
  std::vector<double> ratios;
  for (size_t i = 0; i < measured.round_ns.size() && i < baseline.round_ns.size(); ++i) {
    ratios.push_back(baseline.round_ns[i] / measured.round_ns[i]);
  }
  return ratios;
}

void RunInterleaved(std::vector<Contender>& contenders, int rounds, int per_round) {
  for (auto& c : contenders) {  // warm-up: caches, allocator, branch predictors
    for (int i = 0; i < per_round; ++i) c.run();
  }
  for (int r = 0; r < rounds; ++r) {
    for (auto& c : contenders) {
      auto start = Clock::now();
      for (int i = 0; i < per_round; ++i) c.run();
      double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
      c.round_ns.push_back(ns / per_round);
      c.best_ns = std::min(c.best_ns, ns / per_round);
    }
  }
}

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "codec bench: %s\n", what);
    std::exit(1);
  }
}

}  // namespace
}  // namespace kelvo

int main() {
  using namespace kelvo;
  const StandardCodec& codec = StandardCodec::Instance();

  // The same document through every path, checked once before timing.
  const Value doc = MakeDocument();
  const std::vector<uint8_t> ours = codec.Encode(doc);
  msgpack::sbuffer theirs;
  Pack(theirs, doc);
  {
    auto decoded = codec.Decode(ours);
    Check(decoded.ok() && decoded.value() == doc, "our round trip changed the document");
    msgpack::object_handle oh = msgpack::unpack(theirs.data(), theirs.size());
    Check(FromObject(oh.get()) == doc, "msgpack's round trip changed the document");
    ValueBuilder builder;
    size_t off = 0;
    Check(msgpack::parse(theirs.data(), theirs.size(), off, builder) && !builder.failed() &&
              builder.Take() == doc,
          "the msgpack visitor changed the document");
  }

  std::vector<Contender> doc_runs = {
      {"standard codec encode+decode",
       [&] {
         std::vector<uint8_t> bytes = codec.Encode(doc);
         auto value = codec.Decode(bytes);
         benchmark::DoNotOptimize(value);
       }},
      {"msgpack pack+unpack+convert",
       [&] {
         msgpack::sbuffer buf;
         Pack(buf, doc);
         msgpack::object_handle oh = msgpack::unpack(buf.data(), buf.size());
         Value value = FromObject(oh.get());
         benchmark::DoNotOptimize(value);
       }},
      {"msgpack pack+visitor (reference)",
       [&] {
         msgpack::sbuffer buf;
         Pack(buf, doc);
         ValueBuilder builder;
         size_t off = 0;
         msgpack::parse(buf.data(), buf.size(), off, builder);
         Value value = builder.Take();
         benchmark::DoNotOptimize(value);
       }},
      {"standard codec encode only",
       [&] {
         std::vector<uint8_t> bytes = codec.Encode(doc);
         benchmark::DoNotOptimize(bytes);
       }},
      {"standard codec decode only",
       [&] {
         auto value = codec.Decode(ours);
         benchmark::DoNotOptimize(value);
       }},
      {"msgpack pack only",
       [&] {
         msgpack::sbuffer buf;
         Pack(buf, doc);
         benchmark::DoNotOptimize(buf);
       }},
      {"msgpack unpack+convert only",
       [&] {
         msgpack::object_handle oh = msgpack::unpack(theirs.data(), theirs.size());
         Value value = FromObject(oh.get());
         benchmark::DoNotOptimize(value);
       }},
  };
  RunInterleaved(doc_runs, 15, 40);

  // 1 MiB of bytes through the codec against two plain copies of it.
  const Value blob(Value::Bytes(kPayloadBytes, 0xa5));
  {
    auto decoded = codec.Decode(codec.Encode(blob));
    Check(decoded.ok() && decoded.value() == blob, "the byte payload did not survive");
  }
  std::vector<uint8_t> copy1(kPayloadBytes), copy2(kPayloadBytes);
  const uint8_t* source = blob.as_bytes().data();
  auto codec_blob = [&] {
    std::vector<uint8_t> bytes = codec.Encode(blob);
    auto value = codec.Decode(bytes);
    benchmark::DoNotOptimize(value);
  };
  std::vector<Contender> fresh_runs = {
      {"default malloc: codec 1 MiB encode+decode", codec_blob},
      {"default malloc: two 1 MiB vector copies",
       [&] {
         std::vector<uint8_t> a(source, source + kPayloadBytes);
         std::vector<uint8_t> b(a);
         benchmark::DoNotOptimize(b);
       }},
  };
  RunInterleaved(fresh_runs, 15, 20);

  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  std::vector<Contender> blob_runs = {
      {"standard codec 1 MiB bytes encode+decode", codec_blob},
      {"memcpy 1 MiB twice",
       [&] {
         std::memcpy(copy1.data(), source, kPayloadBytes);
         benchmark::ClobberMemory();
         std::memcpy(copy2.data(), copy1.data(), kPayloadBytes);
         benchmark::ClobberMemory();
       }},
  };
  RunInterleaved(blob_runs, 15, 20);

  std::printf("codec: %d-entry map, %zu bytes standard codec, %zu bytes msgpack\n", kEntries,
              ours.size(), theirs.size());
  for (const auto& c : doc_runs) std::printf("  %-42s %10.1f us\n", c.name, c.best_ns / 1e3);
  for (const auto& c : fresh_runs) std::printf("  %-42s %10.1f us\n", c.name, c.best_ns / 1e3);
  for (const auto& c : blob_runs) std::printf("  %-42s %10.1f us\n", c.name, c.best_ns / 1e3);
  PrintRoundRatio("codec_vs_msgpack_throughput", RoundSpeedups(doc_runs[0], doc_runs[1]));
  PrintRoundRatio("codec_1mib_bytes_vs_memcpy", RoundSpeedups(blob_runs[0], blob_runs[1]));
  return 0;
}
