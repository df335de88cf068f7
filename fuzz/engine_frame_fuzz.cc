// Feeds arbitrary bytes to the engine socket's frame reader, whole and in
// chunks cut by the input itself, and decodes them as a frame body.
// Invariants: chunking never changes the result; memory held stays within
// what was fed; decoded frames encode back to frames that decode the same;
// the frame decoder agrees with the standard codec on every canonical list.
#include <algorithm>
#include <cstdlib>

#include "platform/engine/frame.h"
#include "platform/engine/standard_codec.h"

namespace {

using namespace kelvo;

void CheckReader(std::span<const uint8_t> bytes) {
  FrameReader whole;
  std::vector<Frame> all;
  bool whole_ok = whole.Feed(bytes, &all);
  if (whole.buffered() > bytes.size()) std::abort();

  // Chunk sizes from the input's own bytes, 1..16.
  FrameReader chunked;
  std::vector<Frame> parts;
  bool chunked_ok = true;
  size_t pos = 0;
  size_t i = 0;
  while (pos < bytes.size() && chunked_ok) {
    size_t n = std::min<size_t>(bytes.size() - pos, 1 + bytes[i++ % bytes.size()] % 16);
    chunked_ok = chunked.Feed(bytes.subspan(pos, n), &parts);
    pos += n;
  }
  if (whole_ok != chunked_ok || !(all == parts)) std::abort();
  if (whole_ok && whole.buffered() != chunked.buffered()) std::abort();

  for (const Frame& f : all) {
    std::vector<uint8_t> again = EncodeFrame(f);
    FrameReader reread;
    std::vector<Frame> back;
    if (!reread.Feed(again, &back) || back.size() != 1 || !(back[0] == f)) std::abort();
  }
}

void CheckBody(std::span<const uint8_t> body) {
  Frame frame;
  std::string error;
  bool ok = DecodeFrameBody(body, &frame, &error);
  auto value = StandardCodec::Instance().Decode(body);
  if (ok) {
    // What the frame decoder accepts is a list the standard codec reads.
    if (!value.ok() || !value.value().is_list()) std::abort();
    const ValueList& items = value.value().as_list();
    Value data = frame.data ? Value(*frame.data) : Value();
    if (!(items == ValueList{Value(static_cast<int64_t>(frame.kind)), Value(frame.id),
                             Value(frame.channel), data})) {
      std::abort();
    }
    return;
  }
  // And a canonical list of the right shape is never refused.
  if (!value.ok() || !value.value().is_list()) return;
  if (StandardCodec::Instance().Encode(value.value()) !=
      std::vector<uint8_t>(body.begin(), body.end())) {
    return;
  }
  const ValueList& items = value.value().as_list();
  bool shape = items.size() == 4 && items[0].is_int() &&
               (items[0].as_int() == 0 || items[0].as_int() == 1) && items[1].is_int() &&
               items[2].is_string() && (items[3].is_bytes() || items[3].is_null());
  if (shape) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> bytes(data, size);
  CheckReader(bytes);
  CheckBody(bytes);
  return 0;
}
